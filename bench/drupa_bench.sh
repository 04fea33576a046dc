#!/usr/bin/env bash
# Times the whole drupa process, side by side in one run, against plain_drupa (the same
# program built the straightforward way: one putc per output byte) and against cat writing
# the same expanded bytes to the same file system; also peak memory and page faults. GNU cat
# copies a regular file inside the kernel (copy_file_range), so a copy through user space
# (dd, 128 KiB reads and writes) is timed as well. The inputs are packed by vkpack, as users'
# files are, and one also by greedy_vkpack.
#
#   cmake -S . -B build-bench -DRETRODISK_BENCHMARKS=ON && cmake --build build-bench -j2
#   bench/drupa_bench.sh [BUILD_DIR]        (default build-bench)
#
# Environment: RUNS (timed runs per program, the fastest counts; default 5), INSTR=1 to add
# instructions per output byte from valgrind's callgrind on a 4 MiB text sample (slow).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
runs=${RUNS:-5}
drupa=$build/programs/drupa
plain=$build/bench/plain_drupa
vkpack=$build/programs/vkpack
greedy=$build/bench/greedy_vkpack
for p in "$drupa" "$plain" "$vkpack" "$greedy"; do
    [ -x "$p" ] || { echo "missing $p: build with -DRETRODISK_BENCHMARKS=ON" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/drupa_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mib=$((1024 * 1024))

# Data sets, sized so that the packed file stays under 16 MiB, the most vkpack writes and
# drupa reads.
textLike() {  # documentation and manual pages
    { find /usr/share/doc -type f \( -name copyright -o -name '*.txt' -o -name '*.md' \) \
          -exec cat {} + 2>/dev/null
      find /usr/share/man -type f -name '*.gz' -exec zcat -f {} + 2>/dev/null; } | head -c "$1" || true
}
binaryLike() { find /usr/bin -type f -exec cat {} + 2>/dev/null | head -c "$1" || true; }
repetitive() { yes '0000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00' | head -c "$1" || true; }
incompressible() { head -c "$1" /dev/urandom; }

# kind:packer:MiB. "vkpack" is the project's compressor, whose output is what drupa is given
# in use; "greedy" the classic greedy encoder (greedy_vkpack), for a stream parsed
# another way. A set that packs to more than 16 MiB is skipped (vkpack refuses it).
sets="text:vkpack:40 binary:vkpack:28 repetitive:vkpack:64 incompressible:vkpack:14
      text:greedy:40"

now() { local t=${EPOCHREALTIME/./}; echo "$t"; }  # microseconds
timeOne() {  # OUTPUT command...: microseconds of wall time, standard output to OUTPUT
    local out=$1 start end
    shift
    start=$(now)
    "$@" >"$out" 2>/dev/null
    end=$(now)
    echo $((end - start))
}
# CPU time (user + system) in microseconds, from perf's task clock: less disturbed than the
# wall time when other work shares the machine. Empty when perf is missing.
cpuOne() {  # OUTPUT command...
    local out=$1
    shift
    command -v perf >/dev/null || return 0
    perf stat -x, -e task-clock -o "$work/perf.txt" -- "$@" >"$out" 2>/dev/null
    awk -F, '/task-clock/ { printf "%d\n", $1 * 1000 }' "$work/perf.txt"
}
# peak resident set in KiB and minor page faults of one run
memory() { /usr/bin/time -f '%M %R' "$@" 2>&1 >/dev/null | tail -1; }

printf '%-24s %6s %5s | %6s %6s %6s %6s | %6s %6s | %7s %6s %6s | %11s %11s\n' \
    data 'out MB' ratio 'drupa' plain cat dd 'drupa' plain 'plain/' 'drupa/' 'drupa/' \
    'max RSS KiB' 'minor'
printf '%-24s %6s %5s | %6s %6s %6s %6s | %6s %6s | %7s %6s %6s | %11s %11s\n' \
    '' '' '' ms ms ms ms 'MB/s' 'MB/s' drupa cat dd 'drupa/plain' 'faults d/p'
cpu=() skipped=()
for entry in $sets; do
    IFS=: read -r kind encoder size <<<"$entry"
    name=$kind$size
    case $kind in
        text) textLike $((size * mib)) ;;
        binary) binaryLike $((size * mib)) ;;
        repetitive) repetitive $((size * mib)) ;;
        incompressible) incompressible $((size * mib)) ;;
    esac >"$name"
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
    # Correctness first: both programs give the original bytes.
    for program in "$drupa" "$plain"; do
        rm -f "$name"
        "$program" "$name.vkp" >/dev/null
        cmp -s "$name" "$name.orig" || { echo "$program: $name differs" >&2; exit 1; }
    done
    best_d=0 best_p=0 best_c=0 best_r=0 cpu_d=0 cpu_p=0 cpu_c=0 cpu_r=0
    for ((r = 0; r < runs; r++)); do  # interleaved, each writing a fresh file
        for timer in timeOne cpuOne; do
            rm -f "$name"; t=$($timer /dev/null "$drupa" "$name.vkp")
            [ $timer = timeOne ] && { ((best_d == 0 || t < best_d)) && best_d=$t; }
            [ $timer = cpuOne ] && [ -n "$t" ] && { ((cpu_d == 0 || t < cpu_d)) && cpu_d=$t; }
            rm -f "$name"; t=$($timer /dev/null "$plain" "$name.vkp")
            [ $timer = timeOne ] && { ((best_p == 0 || t < best_p)) && best_p=$t; }
            [ $timer = cpuOne ] && [ -n "$t" ] && { ((cpu_p == 0 || t < cpu_p)) && cpu_p=$t; }
            rm -f "$name"; t=$($timer "$name" cat "$name.orig")
            [ $timer = timeOne ] && { ((best_c == 0 || t < best_c)) && best_c=$t; }
            [ $timer = cpuOne ] && [ -n "$t" ] && { ((cpu_c == 0 || t < cpu_c)) && cpu_c=$t; }
            rm -f "$name"; t=$($timer /dev/null dd if="$name.orig" of="$name" bs=128K status=none)
            [ $timer = timeOne ] && { ((best_r == 0 || t < best_r)) && best_r=$t; }
            [ $timer = cpuOne ] && [ -n "$t" ] && { ((cpu_r == 0 || t < cpu_r)) && cpu_r=$t; }
        done
    done
    cpu+=("$name/$encoder $cpu_d $cpu_p $cpu_c $cpu_r")
    rm -f "$name"; read -r rss_d faults_d <<<"$(memory "$drupa" "$name.vkp")"
    rm -f "$name"; read -r rss_p faults_p <<<"$(memory "$plain" "$name.vkp")"
    rm -f "$name" "$name.orig" "$name.vkp"
    awk -v n="$name/$encoder" -v b="$bytes" -v k="$packed" -v d="$best_d" -v p="$best_p" \
        -v c="$best_c" -v r="$best_r" -v rd="$rss_d" -v rp="$rss_p" -v fd="$faults_d" \
        -v fp="$faults_p" 'BEGIN {
        printf "%-24s %6.1f %5.3f | %6.1f %6.1f %6.1f %6.1f | %6.0f %6.0f | %6.1fx %5.2fx %5.2fx | %5d/%-5d %5d/%-5d\n",
            n, b / 1e6, k / b, d / 1e3, p / 1e3, c / 1e3, r / 1e3, b / d, b / p, p / d, d / c,
            d / r, rd, rp, fd, fp }'
done
echo "(wall time, fastest of $runs interleaved runs each; the copies write the expanded file in $work)"
for line in "${skipped[@]}"; do echo "skipped $line"; done
if command -v perf >/dev/null; then
    echo
    printf '%-24s | %6s %6s %6s %6s | %7s %6s %6s\n' 'CPU time (task clock)' drupa plain cat dd \
        'plain/' 'drupa/' 'drupa/'
    printf '%-24s | %6s %6s %6s %6s | %7s %6s %6s\n' '' ms ms ms ms drupa cat dd
    for row in "${cpu[@]}"; do
        read -r n d p c r <<<"$row"
        awk -v n="$n" -v d="$d" -v p="$p" -v c="$c" -v r="$r" 'BEGIN {
            printf "%-24s | %6.1f %6.1f %6.1f %6.1f | %6.1fx %5.2fx %5.2fx\n",
                n, d / 1e3, p / 1e3, c / 1e3, r / 1e3, p / d, d / c, d / r }'
    done
    echo "(fastest of $runs interleaved runs each)"
fi

if [ "${INSTR:-0}" = 1 ] && command -v valgrind >/dev/null; then
    textLike $((4 * mib)) > sample
    "$vkpack" sample >/dev/null
    for program in "$drupa" "$plain"; do
        rm -f sample
        ir=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" sample.vkp 2>&1 |
             sed -n 's/.*Collected : //p')
        awk -v p="$(basename "$program")" -v ir="$ir" -v b=$((4 * mib)) \
            'BEGIN { printf "%-12s %.1f instructions per output byte (4 MiB of text)\n", p, ir / b }'
    done
fi
