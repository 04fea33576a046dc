#!/usr/bin/env bash
# Whole-process time of `d88 put` of one 30 KB file into a full-size 2HD image (all 154 tracks,
# 1,281,968 bytes, holding 300 files), side by side with copying the image with
# `dd bs=1M conv=fsync`: both read the image and write it out flushed to the disk, and put
# should take no more than 1.5 times as long. Prints the medians of RUNS runs, each on a fresh
# copy of the image, of the wall-clock time, the mean CPU time, and their ratios to dd's.
#
#   bench/d88_put_bench.sh [BUILD_DIR [RUNS]]     (default: build, 21 runs)
# TMPDIR chooses the file system written to; the flush makes the disk part of what is timed.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/lib.sh"
build=$(realpath -m "${1:-$src/build}")
runs=${2:-21}

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j2 --target d88 >/dev/null
d88=$build/programs/d88

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$d88" new --label BENCH base.d88 >/dev/null
mkdir files
for i in $(seq 0 299); do
    head -c $((1000 + i * 37 % 3000)) /dev/urandom >"files/F$i.DAT"
done
"$d88" put --allocate base.d88 files/* >/dev/null
head -c 30720 /dev/urandom >DATA30K.BIN

# The commands, interleaved (one of each in turn) so that a busy machine slows them alike;
# each runs on a fresh copy of the image, made outside the timing.
labels=("dd bs=1M conv=fsync" "d88 put --allocate (30 KB)")
commands=("dd if=run.d88 of=copy.d88 bs=1M conv=fsync status=none"
    "$d88 put --allocate run.d88 DATA30K.BIN")
declare -A times cpus
# Wall-clock time from EPOCHREALTIME; CPU time (user + system of the command) from `time`,
# summed over the runs; both in microseconds.
TIMEFORMAT='%3U %3S'
for ((i = 0; i < runs; i++)); do
    for k in "${!commands[@]}"; do
        cp base.d88 run.d88
        rm -f copy.d88
        sync
        start=$EPOCHREALTIME
        measured=$( { time ${commands[$k]} >/dev/null; } 2>&1)
        end=$EPOCHREALTIME
        read -r user sys <<<"$measured"
        times[$k]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%d", (e - s) * 1e6 }') "
        cpus[$k]=$(awk -v c="${cpus[$k]:-0}" -v u="$user" -v s="$sys" 'BEGIN { print c + (u + s) * 1e6 }')
    done
done
"$d88" ls run.d88 | tail -n 2
echo "image $(stat -c %s base.d88) bytes on $(df -T . | awk 'NR == 2 { print $2 }'); $runs runs each"
for k in "${!commands[@]}"; do
    wall=$(median "${times[$k]}")
    cpu=$(awk -v c="${cpus[$k]}" -v n="$runs" 'BEGIN { printf "%d", c / n }')
    [ "$k" -eq 0 ] && base_wall=$wall base_cpu=$cpu
    printf '%-28s wall %7d us (%.2f x)   cpu %6d us (%.2f x dd)\n' "${labels[$k]}" \
        "$wall" "$(ratio "$wall" "$base_wall")" "$cpu" "$(ratio "$cpu" "$base_cpu")"
done
