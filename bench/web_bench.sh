#!/usr/bin/env bash
# The web page's module against the same library natively: the median time of expanding
# 16 MiB of text packed with vkpack, by vkp::expand in memory (expand_memory) and by the
# page's WebAssembly under node (web_bench.mjs); the module should reach at least 0.7x native
# speed. Also the time the module takes to open and list a 1.2 MB FAT12 image (target: under
# 50 ms), and the size of the page's wasm and JavaScript, gzipped (target: 150 KB at most).
#
# The two sides take turns, ROUNDS times, and each figure is the median over the rounds of a
# round's median: a neighbour that slows the machine for a second then moves one round only.
#
#   bench/web_bench.sh [BUILD_DIR [RUNS [ROUNDS]]]     (default: build-bench, 11 runs, 5 rounds)
# Needs emscripten (Debian: apt-get install emscripten) and node.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build-bench}")
runs=${2:-11}
rounds=${3:-5}

cmake -S "$src" -B "$build" -DRETRODISK_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target expand_memory d88 vkpack web >/dev/null
page=$build/web/page
[ -f "$page/retrodisk.wasm" ] || { echo "the web page was not built (is emscripten installed?)" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# 16 MiB of English-like text: words drawn with a fixed seed, lines of about 70 characters.
awk 'BEGIN {
    srand(7); split("the of and to in disk file sector track image name data byte read write " \
        "program basic machine load save copy format directory cluster table entry free used " \
        "system version error drive head cylinder density number size start end type", w, " ")
    n = 0; line = ""
    while (n < 16777216) {
        word = w[int(rand() * 48) + 1]
        if (length(line) + length(word) > 70) { print line; n += length(line) + 1; line = word }
        else line = line == "" ? word : line " " word
    }
}' >"$scratch/text"
truncate -s 16777216 "$scratch/text"
"$build/programs/vkpack" -o "$scratch/text.vkp" "$scratch/text" >/dev/null

# A FAT12 2HD disk (1.2 MB) nearly full: 100 files of 3 to 15 KB.
"$build/programs/d88" new --fs fat12 --type 2hd "$scratch/disk.d88" >/dev/null
mkdir "$scratch/files"
for i in $(seq 1 100); do
    dd if="$scratch/text" of="$scratch/files/F$i.TXT" bs=1 skip=$((i * 9973)) \
        count=$((3072 + (i * 1597) % 12288)) status=none
done
"$build/programs/d88" put "$scratch/disk.d88" "$scratch"/files/* >/dev/null

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for round in $(seq "$rounds"); do
    "$build/bench/expand_memory" "$scratch/text.vkp" "$runs" >>"$scratch/native"
    node "$src/bench/web_bench.mjs" "$page" "$scratch/text.vkp" "$scratch/disk.d88" "$runs" >>"$scratch/web"
done
native=$(awk '{ print $1 }' "$scratch/native" | median)
size=$(awk 'NR == 1 { print $2 }' "$scratch/native")
wasm=$(awk '$1 == "expand" { print $2 }' "$scratch/web" | median)
list=$(awk '$1 == "list" { print $2 }' "$scratch/web" | median)
files=$(awk '$1 == "list" { print $3; exit }' "$scratch/web")
printf 'expand %d bytes (%d packed), median of %d rounds of %d runs\n' "$size" \
    "$(stat -c %s "$scratch/text.vkp")" "$rounds" "$runs"
printf '  native vkp::expand   %9.1f ms  %7.1f MB/s\n' "$native" "$(awk -v s="$size" -v t="$native" 'BEGIN { print s / t / 1000 }')"
printf '  wasm under node      %9.1f ms  %7.1f MB/s  (%.2fx native speed)\n' "$wasm" \
    "$(awk -v s="$size" -v t="$wasm" 'BEGIN { print s / t / 1000 }')" "$(awk -v n="$native" -v w="$wasm" 'BEGIN { print n / w }')"
printf 'open and list a %d-byte FAT12 image of %d entries: %.1f ms (wasm under node)\n' \
    "$(stat -c %s "$scratch/disk.d88")" "$files" "$list"
total=0
for f in retrodisk.wasm retrodisk.js worker.js page.js zip.js; do
    n=$(gzip -9c "$page/$f" | wc -c)
    total=$((total + n))
    printf '  %-15s %7d bytes, %7d gzipped\n' "$f" "$(stat -c %s "$page/$f")" "$n"
done
printf 'the page'"'"'s wasm and JavaScript: %d bytes gzipped\n' "$total"
