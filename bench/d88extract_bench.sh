#!/usr/bin/env bash
# Whole-process time of d88extract on a full disk (341 files over all 1224 sectors after track
# 0), side by side with cp of the same number of bytes: as one file, and as the same 341 files.
# Prints the median and the best of RUNS runs, each into a fresh directory.
#
#   bench/d88extract_bench.sh [BUILD_DIR [RUNS]]     (default: build, 21 runs)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build}")
runs=${2:-21}

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j2 --target d88extract make_sample >/dev/null
extract=$build/programs/d88extract

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/tools/make_sample" --bench "$scratch/full.d88"
mkdir "$scratch/files"
(cd "$scratch/files" && "$extract" ../full.d88 >/dev/null)
files=$(find "$scratch/files" -type f | wc -l)
bytes=$(cat "$scratch/files"/* | wc -c)
head -c "$bytes" /dev/urandom >"$scratch/one.bin"

# time_runs LABEL COMMAND...: runs COMMAND in an empty $scratch/out each time.
time_runs() {
    local label=$1
    shift
    local times=()
    for ((i = 0; i < runs; i++)); do
        rm -rf "$scratch/out" && mkdir "$scratch/out"
        local t0 t1
        t0=$(date +%s%N)
        (cd "$scratch/out" && "$@" >/dev/null)
        t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000)))
    done
    local sorted
    sorted=($(printf '%s\n' "${times[@]}" | sort -n))
    printf '%-34s median %6d us   best %6d us\n' "$label" "${sorted[$((runs / 2))]}" "${sorted[0]}"
}

echo "image $(stat -c %s "$scratch/full.d88") bytes; $files files, $bytes bytes extracted; $runs runs"
time_runs "d88extract full.d88" "$extract" ../full.d88
time_runs "cp one file of the same bytes" cp ../one.bin .
time_runs "cp the same $files files" cp -r ../files/. .

if command -v strace >/dev/null; then
    rm -rf "$scratch/out" && mkdir "$scratch/out"
    (cd "$scratch/out" && strace -c -o "$scratch/strace.txt" "$extract" ../full.d88 >/dev/null)
    echo "d88extract system calls (strace -c):"
    awk '$NF ~ /^(read|lseek|openat|write|close|total)$/ { printf "  %-8s %s\n", $NF, $4 }' \
        "$scratch/strace.txt"
fi
