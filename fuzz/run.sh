#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each, FUZZ_JOBS (default 2) at a time,
# starting from the committed seeds in fuzz/corpus/<target>/. Builds them first with clang in
# build-fuzz/ (or $FUZZ_BUILD_DIR). Inputs found along the way go to build-fuzz/corpus/<target>/,
# crashes, leaks and timeouts to build-fuzz/artifacts/<target>/, the logs to build-fuzz/logs/.
# Fails if any target reports anything. Prints executions, executions per second and coverage.
#
#   fuzz/run.sh 60                     every target for 60 s
#   fuzz/run.sh 600 decoder round_trip two of them for 10 minutes
# Reproduce one input: build-fuzz/fuzz/<target>_fuzzer FILE (or build/fuzz/<target>_fuzzer FILE
# in a plain build, which replays it without libFuzzer).
set -euo pipefail

all_targets=(disk_image directory scan editor fs decoder round_trip)
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "Usage: $0 SECONDS [TARGET...]   (targets: ${all_targets[*]})" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-2}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DRETRODISK_FUZZERS=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}"

# One target: libFuzzer writes new inputs to the first corpus directory and reads the seeds
# from the second. A crash, leak, timeout (10 s per input), out-of-memory or sanitizer report
# ends the run with a nonzero status and leaves the input in the artifacts directory.
run_one() {
    local target=$1
    mkdir -p "$build/corpus/$target" "$build/artifacts/$target" "$build/logs"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
        "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target/" \
        "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$build/logs/$target.log" 2>&1
}

declare -A status
declare -A pid_target
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n -p done_pid && rc=0 || rc=$?
        status[${pid_target[$done_pid]}]=$rc
        running=$((running - 1))
    fi
    echo "== fuzzing $target for ${seconds} s"
    run_one "$target" &
    pid_target[$!]=$target
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n -p done_pid && rc=0 || rc=$?
    status[${pid_target[$done_pid]}]=$rc
    running=$((running - 1))
done

failed=0
printf '%-12s %-6s %12s %10s %6s %7s\n' target result execs exec/s cov ft
for target in "${targets[@]}"; do
    log=$build/logs/$target.log
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
    cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -n1 | cut -d' ' -f2)
    ft=$(grep -Eo 'ft: [0-9]+' "$log" | tail -n1 | cut -d' ' -f2)
    result=ok
    if [ "${status[$target]}" -ne 0 ]; then
        result=FAILED
        failed=1
    fi
    printf '%-12s %-6s %12s %10s %6s %7s\n' "$target" "$result" "${execs:-?}" "${rate:-?}" \
        "${cov:-?}" "${ft:-?}"
done
if [ "$failed" -ne 0 ]; then
    for target in "${targets[@]}"; do
        [ "${status[$target]}" -eq 0 ] && continue
        echo "== $target failed (status ${status[$target]}); end of $build/logs/$target.log:" >&2
        tail -n 40 "$build/logs/$target.log" >&2
        ls "$build/artifacts/$target" >&2
    done
    exit 1
fi
