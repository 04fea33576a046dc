#!/bin/sh
# vkpack against the classic greedy encoder, side by side in one run: packed sizes, the size
# ratio and packing speed (MB of input per second of the whole process, best of REPEAT runs,
# the two encoders alternating), and every output checked to expand to the original by drupa.
#
# usage: bench/vkpack_bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR: a Release build configured with -DRETRODISK_BENCHMARKS=ON (default: build)
#   WORK_DIR:  where the inputs are made and kept between runs (default: BUILD_DIR/vkpack-bench)
# Inputs: English text from the machine's documentation (/usr/share/doc, decompressed), roff
# sources of the man pages, concatenated executables from /usr/bin, and random bytes. Sizes stay
# below what packs to 16 MiB, the most vkpack writes.
set -eu

BUILD=${1:-build}
WORK=${2:-$BUILD/vkpack-bench}
REPEAT=${REPEAT:-3}
VKPACK=$(realpath "$BUILD/programs/vkpack")
GREEDY=$(realpath "$BUILD/bench/greedy_vkpack")
DRUPA=$(realpath "$BUILD/programs/drupa")
for tool in "$VKPACK" "$GREEDY" "$DRUPA"; do
    [ -x "$tool" ] || { echo "missing $tool: configure with -DRETRODISK_BENCHMARKS=ON and build" >&2; exit 1; }
done
mkdir -p "$WORK"
cd "$WORK"

MB=1048576
make_input() {  # name bytes command...: the first `bytes` bytes of the command's output
    name=$1 bytes=$2
    shift 2
    [ -f "$name" ] && [ "$(wc -c <"$name")" -eq "$bytes" ] && return 0
    { "$@" 2>/dev/null || true; } | head -c "$bytes" >"$name"
    [ "$(wc -c <"$name")" -eq "$bytes" ] || { echo "not enough data for $name" >&2; exit 1; }
}
doc_text() {
    find /usr/share/doc -type f \( -name '*.txt' -o -name '*.md' -o -name 'README*' \
        -o -name 'NEWS*' -o -name 'changelog*' -o -name 'copyright' -o -name '*.html' \) |
        sort | xargs zcat -f
}
man_roff() { find /usr/share/man/man[1-8] -type f | sort | xargs zcat -f; }
executables() { find /usr/bin -type f -size +20k | sort | xargs cat; }
make_input text.txt $((30 * MB)) doc_text
make_input man.roff $((20 * MB)) man_roff
make_input binary.bin $((24 * MB)) executables
make_input random.bin $((12 * MB)) head -c $((12 * MB)) /dev/urandom

now() { date +%s.%N; }
# Seconds of the fastest of REPEAT runs of each command, the two commands alternating.
best_of() {  # var_a var_b "command a" "command b"
    best_a=999999 best_b=999999
    i=0
    while [ $i -lt "$REPEAT" ]; do
        t0=$(now); sh -c "$3" >/dev/null; t1=$(now); sh -c "$4" >/dev/null; t2=$(now)
        best_a=$(echo "$t0 $t1 $best_a" | awk '{d = $2 - $1; print (d < $3 ? d : $3)}')
        best_b=$(echo "$t1 $t2 $best_b" | awk '{d = $2 - $1; print (d < $3 ? d : $3)}')
        i=$((i + 1))
    done
    eval "$1=\$best_a; $2=\$best_b"
}

printf '%-11s %10s %10s %10s %7s %9s %9s %7s\n' input bytes vkpack greedy ratio \
    'vkp MB/s' 'grd MB/s' speed
status=0
for f in text.txt man.roff binary.bin random.bin; do
    best_of tv tg "'$VKPACK' '$f'" "'$GREEDY' '$f' '$f.greedy'"
    for out in "$f.vkp" "$f.greedy"; do  # drupa writes check/expanded from check/expanded.vkp
        mkdir -p check && cp "$out" check/expanded.vkp && rm -f check/expanded
        "$DRUPA" check/expanded.vkp >/dev/null && cmp -s check/expanded "$f" ||
            { echo "$out does not expand to $f" >&2; status=1; }
    done
    n=$(wc -c <"$f") v=$(wc -c <"$f.vkp") g=$(wc -c <"$f.greedy")
    echo "$f $n $v $g $tv $tg" | awk '{printf "%-11s %10d %10d %10d %7.4f %9.2f %9.2f %7.2f\n",
        $1, $2, $3, $4, $3 / $4, $2 / 1048576 / $5, $2 / 1048576 / $6, $6 / $5}'
    [ "$v" -le "$g" ] || { echo "$f: vkpack output larger than greedy" >&2; status=1; }
done
echo "ratio = vkpack size / greedy size; speed = vkpack MB/s / greedy MB/s (whole process)"
exit $status
