#!/usr/bin/env bash
# Whole-process time of `d88 put` of one 30 KB file into a nearly full FAT12 2HD disk
# (77 x 2 x 8 x 1024) and into an N88-BASIC 2D disk (40 x 2 x 16 x 256), each made with
# `d88 new --fs`, side by side with copying the same image with `dd bs=1M conv=fsync`: both
# read the image and write it out flushed to the disk, and put should take no more than 1.5
# times as long (it also checks the disk before and after the change). Prints the medians of
# RUNS runs, each on a fresh copy of the image, and their ratios to dd's.
#
#   bench/fs_put_bench.sh [BUILD_DIR [RUNS]]     (default: build, 21 runs)
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
head -c 30720 /dev/urandom >DAT30K.BIN
# fill FS TYPE COUNT SIZE: a blank disk holding COUNT files of SIZE bytes, in FS.d88.
fill() {
    "$d88" new --fs "$1" --type "$2" "$1.d88" >/dev/null
    mkdir -p "files-$1"
    for i in $(seq 1 "$3"); do
        head -c "$4" /dev/urandom >"files-$1/F$i.BIN"
    done
    "$d88" put "$1.d88" "files-$1"/* >/dev/null
}
fill fat12 2hd 96 11264   # 1.06 MB of 1.17 MB: room for the 30 KB file and little more
fill n88 2d 36 6144       # 36 clusters of 2 KB... of the disk's 154: nearly half, fragmented

labels=() commands=() images=()
for fs in fat12 n88; do
    labels+=("dd conv=fsync ($fs)" "d88 put 30 KB ($fs)")
    commands+=("dd if=run.d88 of=copy.d88 bs=1M conv=fsync status=none"
        "$d88 put run.d88 DAT30K.BIN")
    images+=("$fs.d88" "$fs.d88")
done
declare -A times
for ((i = 0; i < runs; i++)); do
    for k in "${!commands[@]}"; do
        cp "${images[$k]}" run.d88
        rm -f copy.d88
        sync
        start=$EPOCHREALTIME
        ${commands[$k]} >/dev/null
        end=$EPOCHREALTIME
        times[$k]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%d", (e - s) * 1e6 }') "
    done
done
echo "on $(df -T . | awk 'NR == 2 { print $2 }'); $runs runs each"
for k in "${!commands[@]}"; do
    wall=$(median "${times[$k]}")
    [ $((k % 2)) -eq 0 ] && base=$wall
    printf '%-24s wall %7d us (%.2f x dd)\n' "${labels[$k]}" "$wall" "$(ratio "$wall" "$base")"
done
