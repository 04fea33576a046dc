#!/usr/bin/env bash
# drupa and vkpack as whole processes, side by side in one run:
#
#  1. Small files, what disks hold: 2, 8, 30 and 64 KiB of text and of executables, packed by
#     vkpack. drupa against plain_drupa (drupa built the straightforward way: a calloc'd 16 MiB
#     input buffer and one putc per output byte), and vkpack against drupa on the same file.
#  2. Large files: 16 MiB of output (text and executables), then larger sets. drupa against
#     plain_drupa, against cat writing the same bytes to the same file system (GNU cat copies
#     a regular file inside the kernel, with copy_file_range) and against dd (128 KiB reads
#     and writes through user space). One input is packed by greedy_vkpack, the classic greedy
#     encoder, for a stream parsed another way.
#  3. vkpack on a sparse file of 2^31 - 1 bytes, too large to pack into 16 MiB: refused from
#     its size, before it is read.
#
# Times are wall-clock, of the whole process, in rounds: each round runs every program once, in
# turn, each writing a fresh file. A table gives the median time of each program and the
# median of the per-round ratios (a ratio within one round is little disturbed by other work
# on the machine). Page faults (minor) and peak resident memory come from /usr/bin/time.
#
#   cmake -S . -B build-bench -DRETRODISK_BENCHMARKS=ON && cmake --build build-bench -j2
#   bench/drupa_bench.sh [BUILD_DIR]        (default build-bench)
#
# Environment: RUNS (rounds on small files, default 41), LARGE_RUNS (rounds on large files,
# default 9), TMPDIR (the file system written to), INSTR=1 to add instructions per output byte
# from valgrind's callgrind on a 4 MiB text sample (slow).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=$(cd "${1:-$root/build-bench}" && pwd)
runs=${RUNS:-41}
large_runs=${LARGE_RUNS:-9}
drupa=$build/programs/drupa
plain=$build/bench/plain_drupa
vkpack=$build/programs/vkpack
greedy=$build/bench/greedy_vkpack
for p in "$drupa" "$plain" "$vkpack" "$greedy"; do
    [ -x "$p" ] || { echo "missing $p: build with -DRETRODISK_BENCHMARKS=ON" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/drupa_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
kib=1024
mib=$((1024 * 1024))

textLike() {  # documentation and manual pages
    { find /usr/share/doc -type f \( -name copyright -o -name '*.txt' -o -name '*.md' \) \
          -exec cat {} + 2>/dev/null
      find /usr/share/man -type f -name '*.gz' -exec zcat -f {} + 2>/dev/null; } | head -c "$1" || true
}
binaryLike() { find /usr/bin -type f -exec cat {} + 2>/dev/null | head -c "$1" || true; }
repetitive() { yes '0000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00' | head -c "$1" || true; }
incompressible() { head -c "$1" /dev/urandom; }
makeData() {  # KIND BYTES: the data set's first BYTES bytes on standard output
    case $1 in
        text) textLike "$2" ;;
        binary) binaryLike "$2" ;;
        repetitive) repetitive "$2" ;;
        incompressible) incompressible "$2" ;;
    esac
}

# run OUT COMMAND...: runs COMMAND, standard output to OUT; its wall time in microseconds in
# $took and its exit status in $ran. No subshell, so that every program pays the same cost of
# being started by bash.
run() {
    local out=$1 start end
    shift
    ran=0
    start=${EPOCHREALTIME/./}
    "$@" >"$out" 2>/dev/null || ran=$?
    end=${EPOCHREALTIME/./}
    took=$((end - start))
}

# Medians over rounds: `times` holds one line per round, "t1 t2 ... tk" (microseconds).
# median_col K: the median of column K; median_ratio J K: the median of column J / column K.
median_col() { median "$(awk -v k="$1" 'NF { print $k }' <<<"$times")"; }
median_ratio() { median "$(awk -v j="$1" -v k="$2" 'NF { printf "%.6f\n", $j / $k }' <<<"$times")"; }

# expands_back NAME: drupa and plain_drupa each turn NAME.vkp into the bytes of NAME.orig.
expands_back() {
    local program
    for program in "$drupa" "$plain"; do
        rm -f "$1"
        "$program" "$1.vkp" >/dev/null
        cmp -s "$1" "$1.orig" || { echo "$program: $1 differs" >&2; exit 1; }
    done
}

# memory COMMAND...: "peak-KiB minor-faults", the medians of 5 runs. FRESH names a file to
# remove before each run (the output, so that every run creates it).
memory() {
    local i runs5=""
    for ((i = 0; i < 5; i++)); do
        rm -f "$FRESH"
        /usr/bin/time -o "$work/time.txt" -f '%M %R' "$@" >/dev/null 2>&1 || true
        runs5+="$(tail -1 "$work/time.txt")"$'\n'  # after "exited with non-zero status"
    done
    echo "$(median "$(awk 'NF { print $1 }' <<<"$runs5")") $(median "$(awk 'NF { print $2 }' <<<"$runs5")")"
}

# --- 1. small files -------------------------------------------------------------------------
echo "Small files: drupa against plain_drupa, vkpack against drupa ($runs rounds)"
echo "  targets: drupa/plain <= 1.00 and no more page faults than plain; vkpack/drupa <= 2.00"
printf '%-10s %6s %6s | %7s %7s %7s | %7s %7s | %11s %11s %11s\n' \
    data 'KiB' packed drupa plain vkpack 'drupa/' 'vkpack/' 'faults' 'peak KiB' 'vkpack'
printf '%-10s %6s %6s | %7s %7s %7s | %7s %7s | %11s %11s %11s\n' \
    '' out KiB ms ms ms plain drupa 'drupa/plain' 'drupa/plain' 'faults/KiB'
for kind in text binary; do
    for size in 2 8 30 64; do
        name=$kind$size
        makeData "$kind" $((size * kib)) >"$name.in"
        cp "$name.in" "$name.orig"
        "$vkpack" "$name.in" >/dev/null  # writes $name.in.vkp
        mv "$name.in.vkp" "$name.vkp"
        expands_back "$name"
        times=""
        for ((r = 0; r < runs; r++)); do
            rm -f "$name"; run /dev/null "$drupa" "$name.vkp"; d=$took
            rm -f "$name"; run /dev/null "$plain" "$name.vkp"; p=$took
            rm -f "$name.in.vkp"; run /dev/null "$vkpack" "$name.in"; v=$took
            times+="$d $p $v"$'\n'
        done
        cmp -s "$name.in.vkp" "$name.vkp" || { echo "vkpack: $name packs differently" >&2; exit 1; }
        read -r rss_d faults_d <<<"$(FRESH=$name memory "$drupa" "$name.vkp")"
        read -r rss_p faults_p <<<"$(FRESH=$name memory "$plain" "$name.vkp")"
        read -r rss_v faults_v <<<"$(FRESH=$name.in.vkp memory "$vkpack" "$name.in")"
        printf '%-10s %6d %6.1f | %7.2f %7.2f %7.2f | %7.3f %7.3f | %5d/%-5d %5d/%-5d %5d/%-5d\n' \
            "$name" "$size" "$(awk -v k="$(stat -c %s "$name.vkp")" 'BEGIN { print k / 1024 }')" \
            "$(median_col 1)e-3" "$(median_col 2)e-3" "$(median_col 3)e-3" \
            "$(median_ratio 1 2)" "$(median_ratio 3 1)" \
            "$faults_d" "$faults_p" "$rss_d" "$rss_p" "$faults_v" "$rss_v"
        rm -f "$name" "$name.in" "$name.in.vkp" "$name.orig" "$name.vkp"
    done
done
echo "(median wall time of each program, and the median of the per-round ratios; faults and"
echo " peak memory are medians of 5 runs)"

# --- 2. large files -------------------------------------------------------------------------
# kind:packer:MiB of original data. A set that packs to more than 16 MiB is skipped (vkpack
# refuses it).
sets="text:vkpack:16 binary:vkpack:16 text:vkpack:40 binary:vkpack:28 repetitive:vkpack:64
      incompressible:vkpack:14 text:greedy:40"
echo
echo "Large files: drupa against plain_drupa, cat and dd ($large_runs rounds)"
echo "  targets at 16 MiB of output: plain/drupa >= 5 and drupa/cat <= 1.5"
printf '%-24s %6s %5s | %6s %6s %6s %6s | %7s %6s %6s | %11s %13s\n' \
    data 'out MB' ratio drupa plain cat dd 'plain/' 'drupa/' 'drupa/' 'faults' 'peak KiB'
printf '%-24s %6s %5s | %6s %6s %6s %6s | %7s %6s %6s | %11s %13s\n' \
    '' '' '' ms ms ms ms drupa cat dd 'drupa/plain' 'drupa/plain'
skipped=()
for entry in $sets; do
    IFS=: read -r kind encoder size <<<"$entry"
    name=$kind$size
    makeData "$kind" $((size * mib)) >"$name"
    rm -f "$name.vkp"
    if [ "$encoder" = vkpack ]; then
        "$vkpack" "$name" >/dev/null 2>&1 || true  # writes $name.vkp
    else
        "$greedy" "$name" "$name.vkp"
    fi
    bytes=$(stat -c %s "$name")
    packed=$(stat -c %s "$name.vkp" 2>/dev/null || echo 0)
    if [ "$packed" -eq 0 ] || [ "$packed" -gt $((16 * mib)) ]; then
        skipped+=("$name/$encoder: packs to more than 16 MiB")
        rm -f "$name" "$name.vkp"
        continue
    fi
    mv "$name" "$name.orig"
    expands_back "$name"
    times=""
    for ((r = 0; r < large_runs; r++)); do
        rm -f "$name"; run /dev/null "$drupa" "$name.vkp"; d=$took
        rm -f "$name"; run /dev/null "$plain" "$name.vkp"; p=$took
        rm -f "$name"; run "$name" cat "$name.orig"; c=$took
        rm -f "$name"; run /dev/null dd if="$name.orig" of="$name" bs=128K status=none; t=$took
        times+="$d $p $c $t"$'\n'
    done
    read -r rss_d faults_d <<<"$(FRESH=$name memory "$drupa" "$name.vkp")"
    read -r rss_p faults_p <<<"$(FRESH=$name memory "$plain" "$name.vkp")"
    printf '%-24s %6.1f %5.3f | %6.1f %6.1f %6.1f %6.1f | %6.2fx %5.2fx %5.2fx | %5d/%-5d %6d/%-6d\n' \
        "$name/$encoder" "$bytes"e-6 "$(awk -v k="$packed" -v b="$bytes" 'BEGIN { print k / b }')" \
        "$(median_col 1)e-3" "$(median_col 2)e-3" "$(median_col 3)e-3" "$(median_col 4)e-3" \
        "$(median_ratio 2 1)" "$(median_ratio 1 3)" "$(median_ratio 1 4)" \
        "$faults_d" "$faults_p" "$rss_d" "$rss_p"
    rm -f "$name" "$name.orig" "$name.vkp"
done
echo "(median wall time of each program, and the median of the per-round ratios; the copies"
echo " write the expanded file in $work)"
for line in "${skipped[@]}"; do echo "skipped $line"; done

# --- 3. vkpack's refusal from the size ------------------------------------------------------
echo
truncate -s $((2147483647)) sparse  # no disk space used
times=""
for ((r = 0; r < 5; r++)); do
    rm -f sparse.vkp
    run /dev/null "$vkpack" sparse
    times+="$took"$'\n'
done
read -r rss_v faults_v <<<"$(FRESH=sparse.vkp memory "$vkpack" sparse)"
printf 'vkpack on a sparse file of 2^31 - 1 bytes: %.2f ms, peak %d KiB, %d faults, exit %d, %s\n' \
    "$(median_col 1)e-3" "$rss_v" "$faults_v" "$ran" \
    "$([ -e sparse.vkp ] && echo 'an output file was left' || echo 'no output file')"
rm -f sparse

if [ "${INSTR:-0}" = 1 ] && command -v valgrind >/dev/null; then
    echo
    textLike $((4 * mib)) >sample
    "$vkpack" sample >/dev/null
    for program in "$drupa" "$plain"; do
        rm -f sample
        ir=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" sample.vkp 2>&1 |
            sed -n 's/.*Collected : //p')
        awk -v p="$(basename "$program")" -v ir="$ir" -v b=$((4 * mib)) \
            'BEGIN { printf "%-12s %.1f instructions per output byte (4 MiB of text)\n", p, ir / b }'
    done
fi
