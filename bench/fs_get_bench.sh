#!/usr/bin/env bash
# Whole-process time of d88 get taking every file off a FAT12 disk, side by side with mcopy -s
# copying the same files from the disk's flat image (Debian's mtools; mkfs.fat from dosfstools
# makes the disks): a full 2HD disk (77 x 2 x 8 x 1024, 1232 sectors) of 96 files, and a disk
# holding a tree of 50 files in 5 directories. d88 get should be no slower (ratio <= 1.0).
# Also d88 ls -R and d88 check on both, which read every sector of every file.
# Prints the medians of RUNS runs, each into a fresh directory.
#
#   bench/fs_get_bench.sh [BUILD_DIR [RUNS]]     (default: build-bench, 21 runs)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/lib.sh"
build=$(realpath -m "${1:-$src/build-bench}")
runs=${2:-21}
for tool in mkfs.fat mcopy; do
    command -v $tool >/dev/null || { echo "needs $tool (apt-get install dosfstools mtools)" >&2; exit 1; }
done

cmake -S "$src" -B "$build" -DRETRODISK_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target d88 wrap_flat >/dev/null
d88=$build/programs/d88

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC

# make_disk NAME: a FAT12 2HD disk as the FM TOWNS and PC-98 write it, in NAME.img (flat)
# and NAME.d88.
make_disk() {
    rm -f "$scratch/$1.img"
    mkfs.fat -C -S 1024 -s 1 -f 2 -r 192 -R 1 -F 12 -M 0xFE -h 0 --invariant \
        -g 2/8 "$scratch/$1.img" 1232 >/dev/null
}
wrap() { "$build/bench/wrap_flat" "$scratch/$1.img" 77 2 8 1024 0x20 "$scratch/$1.d88"; }

# A full disk: 96 files of 10 to 14 KB, random bytes, until no cluster is left.
make_disk full
mkdir "$scratch/files"
for i in $(seq 1 96); do
    head -c $((10240 + (i * 397) % 4096)) /dev/urandom >"$scratch/files/F$i.BIN"
done
mcopy -i "$scratch/full.img" "$scratch"/files/* :: 2>/dev/null || true
wrap full

# A tree of 50 files in 5 directories, 1 to 25 KB each.
make_disk tree
for d in 1 2 3 4 5; do
    mmd -i "$scratch/tree.img" ::DIR$d
    rm -rf "$scratch/dir" && mkdir "$scratch/dir"
    for i in $(seq 1 10); do
        head -c $((1024 + (d * 10 + i) * 397)) /dev/urandom >"$scratch/dir/FILE$i.DAT"
    done
    mcopy -i "$scratch/tree.img" "$scratch"/dir/* ::DIR$d/
done
wrap tree

labels=() commands=()
for disk in full tree; do
    labels+=("mcopy -s $disk" "d88 get $disk" "d88 ls -R $disk" "d88 check $disk")
    commands+=("mcopy -s -n -i ../$disk.img ::* ." "$d88 get ../$disk.d88"
        "$d88 ls -R ../$disk.d88" "$d88 check ../$disk.d88")
done
declare -A times
# Microseconds from bash's EPOCHREALTIME around each whole process.
for ((i = 0; i < runs; i++)); do
    for k in "${!commands[@]}"; do
        rm -rf "$scratch/out" && mkdir "$scratch/out"
        cd "$scratch/out"
        start=$EPOCHREALTIME
        ${commands[$k]} >/dev/null
        end=$EPOCHREALTIME
        times[$k]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%d", (e - s) * 1e6 }') "
    done
done
cd "$scratch"
echo "FAT12 2HD disks of 1232 x 1024 bytes; $runs runs each"
for k in "${!commands[@]}"; do
    wall=$(median "${times[$k]}")
    [ $((k % 4)) -eq 0 ] && base=$wall
    printf '%-20s wall %7d us (%.2f x mcopy)\n' "${labels[$k]}" "$wall" "$(ratio "$wall" "$base")"
done
