#!/usr/bin/env bash
# Whole-process time of d88 ls and d88 get on a full disk (341 files over all 1224 sectors
# after track 0), side by side with d88extract on the same image; each should take no more
# than 1.2 times d88extract's time. Prints the medians of RUNS runs, each into a fresh
# directory, of the wall-clock and the CPU time, and their ratios to d88extract's.
#
#   bench/d88_bench.sh [BUILD_DIR [RUNS]]     (default: build, 21 runs)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/lib.sh"
build=$(realpath -m "${1:-$src/build}")
runs=${2:-21}

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j2 --target d88 d88extract make_sample >/dev/null
d88=$build/programs/d88
extract=$build/programs/d88extract

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/tools/make_sample" --bench "$scratch/full.d88"

# The commands, each run RUNS times in an empty $scratch/out; the runs are interleaved (one
# of each in turn) so that a busy machine slows them alike.
labels=("d88extract full.d88" "d88 ls full.d88" "d88 get full.d88" "d88 get --raw-names full.d88")
commands=("$extract ../full.d88" "$d88 ls ../full.d88" "$d88 get ../full.d88"
    "$d88 get --raw-names ../full.d88")
# Each run's wall-clock time, and its CPU time (user + system), which a busy machine disturbs
# less, in microseconds.
declare -A times cpus
TIMEFORMAT='%3R %3U %3S'
for ((i = 0; i < runs; i++)); do
    for k in "${!commands[@]}"; do
        rm -rf "$scratch/out" && mkdir "$scratch/out"
        measured=$( { time (cd "$scratch/out" && ${commands[$k]} >/dev/null); } 2>&1)
        read -r real user sys <<<"$measured"
        times[$k]+="$(awk -v r="$real" 'BEGIN { printf "%d", r * 1e6 }') "
        cpus[$k]+="$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%d", (u + s) * 1e6 }') "
    done
done
echo "image $(stat -c %s "$scratch/full.d88") bytes, 341 files; $runs runs each"
for k in "${!commands[@]}"; do
    wall=$(median "${times[$k]}")
    cpu=$(median "${cpus[$k]}")
    [ "$k" -eq 0 ] && base_wall=$wall base_cpu=$cpu
    printf '%-30s wall %6d us (%.2f x)   cpu %6d us (%.2f x d88extract)\n' "${labels[$k]}" \
        "$wall" "$(ratio "$wall" "$base_wall")" "$cpu" "$(ratio "$cpu" "$base_cpu")"
done
