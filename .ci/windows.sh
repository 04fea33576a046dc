#!/usr/bin/env bash
# Windows builds: cross-compiles the programs with MinGW-w64 for x86-64 and 32-bit x86 (static,
# warnings as errors, no DLL beyond the system's), then runs every command-line test table
# (LINUX_BUILD_DIR/tests/*_cli_test; see tests/support/cli.h) against each build under Wine:
# the same rows as on Linux with CR LF line ends, and the rows marked for Windows. Exits
# non-zero on any failure, and when either architecture cannot run, with one exception: a
# kernel that refuses to execute 32-bit programs at all, where the i686 build is only built.
# WINDOWS_TEST_RUNS=N runs the tables N times over (default 1), to look for failures by chance.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${LINUX_BUILD_DIR:-build}
runs=${WINDOWS_TEST_RUNS:-1}

. .ci/lib.sh
install_missing cmake make g++ ninja-build libgtest-dev wine64 wine32:i386 \
    "g++-mingw-w64-x86-64-posix|g++-mingw-w64-x86-64-win32" \
    "g++-mingw-w64-i686-posix|g++-mingw-w64-i686-win32" \
    libz-mingw-w64-dev libcli11-dev nlohmann-json3-dev zlib1g-dev mtools dosfstools

scratch=$(mktemp -d)
wine64=/usr/lib/wine/wine64 wine32=/usr/lib/wine/wine wineserver=/usr/lib/wine/wineserver
# Wine reads Unix file names and arguments in the locale's character set: UTF-8 for Japanese.
# Of Wine's own messages only its errors are kept (none in a good run): a program Wine failed
# to start then says why, and the tests run it again (tests/support/cli.h).
export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all,err+all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
cleanup() {
    if [ -d "$WINEPREFIX" ]; then "$wineserver" -k 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

echo "== the command-line tests, built for Linux in $linux_build"
cmake -S . -B "$linux_build" >/dev/null && cmake --build "$linux_build" -j2 >/dev/null
tests=("$linux_build"/tests/*_cli_test)

for arch in x86_64 i686; do
    echo "== cross build for $arch"
    dir=build-win-$arch
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-$arch.cmake \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build "$dir" -j2 --clean-first >"$scratch/build-$arch.log" 2>&1 ||
        { cat "$scratch/build-$arch.log"; fail "the $arch cross build failed"; continue; }
    if grep -i warning "$scratch/build-$arch.log"; then fail "warnings in the $arch cross build"; fi
    (cd "$dir" && cpack -G ZIP >/dev/null) || fail "cpack -G ZIP failed for $arch"
    for exe in "$dir"/programs/*.exe; do
        # Statically linked: only DLLs that every Windows has.
        dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
        echo "$exe imports:" $dlls
        for dll in $dlls; do
            case $dll in kernel32.dll | msvcrt.dll | api-ms-win-crt-*.dll | ucrtbase.dll) ;;
                *) fail "$exe needs $dll" ;; esac
        done
    done
done

# run_tables ARCH LOADER: every command-line table against build-win-ARCH, under LOADER. A
# program Wine failed to run is run again by the test itself (tests/support/cli.h), which says
# so in its log; those lines are shown and counted in $wine_reruns. $passed counts the tests.
wine_reruns=0 passed=0
run_tables() {
    local test log reruns count
    echo "== the $1 programs under Wine ($2)"
    for test in "${tests[@]}"; do
        log=$scratch/$1-$(basename "$test").log
        if RETRODISK_TEST_WINDOWS_BIN=$PWD/build-win-$1/programs RETRODISK_TEST_EXEC_PREFIX=$2 \
            "$test" >"$log" 2>&1; then
            echo "$(basename "$test"):" $(grep -oE '^\[  (PASSED|SKIPPED) +\] [0-9]+ tests?' "$log")
            grep '^cli: Wine did not run' "$log" || true
        else
            cat "$log"
            fail "$1: $(basename "$test")"
        fi
        reruns=$(grep -c '^cli: Wine did not run' "$log" || true)
        wine_reruns=$((wine_reruns + reruns))
        count=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | head -1)
        passed=$((passed + ${count:-0}))
    done
}

# True when the kernel refuses to execute the 32-bit (ELF32) Wine loader: execve fails with
# ENOEXEC, which bash reports as status 126 and "Exec format error" (a kernel without 32-bit
# support, as on some virtual machines). Any other failure is Wine's, and fails the check.
kernel_refuses_32bit() {
    local out status=0
    [ "$(od -An -tu1 -j4 -N1 "$wine32" | tr -d ' ')" = 1 ] || return 1
    out=$(LC_ALL=C "$wine32" --version 2>&1) || status=$?
    [ "$status" = 126 ] && [[ $out == *"Exec format error"* ]]
}

# One wineserver for the whole run, started first (cleanup ends it): one that exits when idle
# can be reached by the next program just as it goes ("recvmsg: Connection reset by peer").
mkdir -p "$WINEPREFIX"
"$wineserver" -p || { fail "the wineserver cannot start"; exit 1; }
"$wine64" wineboot -i >"$scratch/wineboot.log" 2>&1 ||
    { cat "$scratch/wineboot.log"; fail "Wine cannot start"; exit 1; }
for run in $(seq "$runs"); do
    [ "$runs" -eq 1 ] || echo "== run $run of $runs"
    run_tables x86_64 "$wine64"
    if [ ! -x "$wine32" ]; then
        fail "no 32-bit Wine ($wine32, package wine32:i386): the i686 programs cannot run"
    elif kernel_refuses_32bit; then
        echo "!!! i686: the programs were built, but this kernel cannot run 32-bit programs" \
            "(Exec format error from the 32-bit Wine loader): NOT RUN"
    else
        run_tables i686 "$wine32"
    fi
done

echo "tests passed under Wine: $passed in $runs run(s); programs run again after Wine failed to run them: $wine_reruns"
if [ "$failures" -ne 0 ]; then
    echo "windows check: $failures failure(s)" >&2
    exit 1
fi
echo "windows check: OK"
