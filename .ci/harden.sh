#!/usr/bin/env bash
# Hardening checks, run by .ci/run after the test suites:
#   1. clang-tidy (.clang-tidy) and cppcheck over every source of ours: zero findings;
#   2. a smoke run of every fuzz target, FUZZ_SECONDS each (default 60), two at a time:
#      any crash, leak, timeout or sanitizer report fails.
# About 5 minutes on 2 cores with the default 60 s.
# .ci/harden.sh static   runs only the static analysis; .ci/harden.sh fuzz only the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
case $what in
all | static | fuzz) ;;
*)
    echo "Usage: $0 [all|static|fuzz]" >&2
    exit 2
    ;;
esac

. .ci/lib.sh
install_missing cmake make g++ clang libclang-rt-14-dev clang-tidy cppcheck libgtest-dev libbenchmark-dev \
    libcli11-dev nlohmann-json3-dev zlib1g-dev

static_analysis() {
    echo "== static analysis: clang-tidy"
    # A compile database of every target, benchmarks and dev-only programs included.
    CC=clang CXX=clang++ cmake -S . -B build-tidy -DRETRODISK_BENCHMARKS=ON -DRETRODISK_WEB=OFF >/dev/null
    local log=build-tidy/clang-tidy.log status=0
    run-clang-tidy -p build-tidy -quiet -j2 >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ] || grep -qE '(warning|error): ' "$log"; then
        sed "s/\x1b\[[0-9;]*m//g" "$log" | grep -E "(warning|error): " | sort -u || true
        echo "clang-tidy: findings above (full output in $log)" >&2
        exit 1
    fi
    echo "clang-tidy: no findings"

    echo "== static analysis: cppcheck"
    cppcheck --project=build-tidy/compile_commands.json --std=c++17 -j2 -q \
        --enable=warning,style,performance,portability --library=googletest \
        --suppress=missingIncludeSystem --suppressions-list=.cppcheck-suppressions --inline-suppr \
        --error-exitcode=1 \
        --template='{file}:{line}: {severity}: {message} [{id}]'
    echo "cppcheck: no findings"
}

if [ "$what" != fuzz ]; then
    static_analysis
fi
if [ "$what" != static ]; then
    echo "== fuzz smoke run: ${FUZZ_SECONDS:-60} s per target"
    fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi
