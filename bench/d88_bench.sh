#!/usr/bin/env bash
# Whole-process time of d88 ls and d88 get on a full disk (341 files over all 1224 sectors
# after track 0), side by side with d88extract on the same image; each should take no more
# than 1.2 times d88extract's time. Prints the median and the best of RUNS runs, each into a
# fresh directory, and the ratios of the medians.
#
#   bench/d88_bench.sh [BUILD_DIR [RUNS]]     (default: build, 21 runs)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
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
declare -A times
for ((i = 0; i < runs; i++)); do
    for k in "${!commands[@]}"; do
        rm -rf "$scratch/out" && mkdir "$scratch/out"
        t0=$(date +%s%N)
        (cd "$scratch/out" && ${commands[$k]} >/dev/null)
        t1=$(date +%s%N)
        times[$k]+="$(((t1 - t0) / 1000)) "
    done
done
echo "image $(stat -c %s "$scratch/full.d88") bytes, 341 files; $runs runs each"
median=()
for k in "${!commands[@]}"; do
    sorted=($(printf '%s\n' ${times[$k]} | sort -n))
    median[$k]=${sorted[$((runs / 2))]}
    printf '%-30s median %6d us   best %6d us   %.2f x d88extract\n' "${labels[$k]}" \
        "${median[$k]}" "${sorted[0]}" "$(awk -v t="${median[$k]}" -v b="${median[0]}" 'BEGIN { print t / b }')"
done
