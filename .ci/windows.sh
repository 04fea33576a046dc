#!/usr/bin/env bash
# Windows builds: cross-compiles the programs with MinGW-w64 for x86-64 and 32-bit x86 (static,
# warnings as errors, no DLL beyond the system's), then runs the x86-64 programs under Wine and
# checks them against the Linux build: files byte for byte, standard output and error with
# CR LF line ends, exit statuses, on the bundled sample and on every error path reachable
# from the command line. The 32-bit programs are run too when a 32-bit Wine is installed.
# Exits non-zero on any problem, and when Wine cannot run (set WINE_OPTIONAL=1 to only build).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
linux_build=${LINUX_BUILD_DIR:-build-deb}

. .ci/lib.sh
install_missing cmake g++ ninja-build wine64 "g++-mingw-w64-x86-64-posix|g++-mingw-w64-x86-64-win32" \
    "g++-mingw-w64-i686-posix|g++-mingw-w64-i686-win32"


scratch=$(mktemp -d)
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
# Stops this run's Wine server (it serves only this prefix) before the prefix is removed.
cleanup() {
    if [ -d "$scratch/wineprefix" ] && [ -x "$wineserver" ]; then
        WINEPREFIX=$scratch/wineprefix "$wineserver" -k 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

echo "== Linux build ($linux_build), the reference"
cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$linux_build" -j2
linux_bin=$scratch/linux-bin
mkdir -p "$linux_bin"
for p in programs/d88extract programs/drupa programs/vkpack; do
    ln -s "$src/$linux_build/$p" "$linux_bin/"
done

echo "== cross builds"
for arch in x86_64 i686; do
    dir=build-win-$arch
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-$arch.cmake \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    if ! cmake --build "$dir" -j2 --clean-first 2>&1 | tee "$scratch/build-$arch.log"; then
        fail "the $arch cross build failed"
    fi
    if grep -i 'warning' "$scratch/build-$arch.log"; then
        fail "warnings in the $arch cross build"
    fi
    for exe in programs/d88extract.exe programs/drupa.exe programs/vkpack.exe; do
        [ -f "$dir/$exe" ] || { fail "$dir/$exe was not built"; continue; }
        # Statically linked: only DLLs that every Windows has.
        dlls=$("$arch-w64-mingw32-objdump" -p "$dir/$exe" | awk '/DLL Name:/ {print $3}' | sort -u)
        echo "$arch $exe imports: $(echo $dlls)"
        for dll in $dlls; do
            case "${dll,,}" in
                kernel32.dll | msvcrt.dll | api-ms-win-crt-*.dll | ucrtbase.dll) ;;
                *) fail "$dir/$exe needs $dll" ;;
            esac
        done
    done
    (cd "$dir" && cpack -G ZIP >/dev/null && ls ./*.zip)
done

# --- Wine ---------------------------------------------------------------------------------

export WINEDEBUG=-all WINEPREFIX=$scratch/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
wine64=${WINE64:-/usr/lib/wine/wine64}
[ -x "$wine64" ] || wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=${WINE32:-/usr/lib/wine/wine}
[ -x "$wine32" ] || wine32=$(command -v wine || true)

echo "== Wine: $wine64, first run creates the prefix"
if ! "$wine64" wineboot -i >"$scratch/wineboot.log" 2>&1; then
    cat "$scratch/wineboot.log"
    if [ "${WINE_OPTIONAL:-0}" = 1 ]; then
        echo "Wine cannot run here; the cross builds were checked, the programs were not run."
        exit $((failures != 0))
    fi
    fail "Wine cannot run here (see above)"
    exit 1
fi

# Messages as the Windows programs write them: Shift_JIS bytes, the newline as CR LF.
CRLF=$'\r\n'
M_OPEN_IMAGE=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_BAD_NAME=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x95\x73\x90\xB3\x82\xC5\x82\xB7.'$CRLF
M_CANNOT_READ=$'\x83\x66\x81\x5B\x83\x5E\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_CANNOT_CREATE=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8D\xEC\x90\xAC\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_CANNOT_WRITE=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_IN_OPEN=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_OUT_OPEN=$'\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_NO_EXT=$'\x8A\x67\x92\xA3\x8E\x71\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_TOO_LONG=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7.'$CRLF
M_OUT_WRITE=$'\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.'$CRLF
M_TOO_BIG=$'\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7.'$CRLF
M_OUT_TOO_BIG=$'\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7.'$CRLF

# Little-endian reads and byte patches of a file, for making damaged copies of the sample.
u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
u16() { echo $(($(u8 "$1" "$2") + 256 * $(u8 "$1" $(($2 + 1))))); }
u32() { echo $(($(u16 "$1" "$2") + 65536 * $(u16 "$1" $(($2 + 2))))); }
patch() { printf '%b' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# File offset of the directory of disk 0 (track 0, C 0 H 0 R 3 N 3) in a D88 image.
directory_offset() {
    local image=$1 pos i
    pos=$(u32 "$image" 32)
    for i in $(seq 16); do
        if [ "$(u8 "$image" "$pos")$(u8 "$image" $((pos + 1)))" = 00 ] &&
            [ "$(u8 "$image" $((pos + 2)))" = 3 ] && [ "$(u8 "$image" $((pos + 3)))" = 3 ]; then
            echo $((pos + 16))
            return
        fi
        pos=$((pos + 16 + $(u16 "$image" $((pos + 14)))))
    done
    echo "no directory sector in $image" >&2
    return 1
}

# A copy of the sample whose first directory entry has the given name (padded to 13 bytes with
# spaces) and, optionally, start sector.
sample_with_entry() {
    local out=$1 name=$2 start=${3:-} dir
    cp "$src/examples/sample.d88" "$out"
    dir=$(directory_offset "$out")
    patch "$out" $((dir + 1)) "$(printf '%-13s' "$name" | sed 's/\\/\\\\/g')"
    [ -z "$start" ] || patch "$out" $((dir + 14)) "$(printf '\\x%02x\\x%02x' $((start & 255)) $((start >> 8)))"
}

crlf() { perl -pe 's/\n/\r\n/g' "$1"; }

# run_case NAME SETUP PROGRAM ARGS...: prepares two empty directories with the shell command
# SETUP (run inside each), runs PROGRAM there with ARGS, once built for Linux and once for
# Windows under Wine; results in $cases/NAME/{linux,windows}/ and .../{linux,windows}.{out,err,status}.
cases=$scratch/cases
run_case() {
    local name=$1 setup=$2 program=$3 side status
    shift 3
    for side in linux windows; do
        mkdir -p "$cases/$name/$side"
        (cd "$cases/$name/$side" && eval "$setup") || fail "$name: setup failed"
        set +e
        if [ "$side" = linux ]; then
            (cd "$cases/$name/$side" && "$linux_bin/$program" "$@") \
                >"$cases/$name/$side.out" 2>"$cases/$name/$side.err"
        else
            (cd "$cases/$name/$side" && "$wine" "$win_bin/$program.exe" "$@") \
                >"$cases/$name/$side.out" 2>"$cases/$name/$side.err"
        fi
        status=$?
        set -e
        echo "$status" >"$cases/$name/$side.status"
    done
}

# want NAME STREAM BYTES: writes the expected bytes of a Windows run's stdout or stderr (STREAM
# out or err) to $cases/NAME/expected.STREAM. BYTES is the literal text, or "=" for the Linux
# run's bytes with CR LF line ends, or "@FILE" for FILE's bytes with CR LF line ends.
want() {
    local c=$cases/$1
    case "$3" in
        =) crlf "$c/linux.$2" ;;
        @*) crlf "${3#@}" ;;
        *) printf '%s' "$3" ;;
    esac >"$c/expected.$2"
}

# expect NAME STATUS OUT ERR [FILES]: checks the Windows run's status, stdout and stderr (OUT
# and ERR as for `want`) and, unless FILES is "own-files", that it left the same files as the
# Linux run.
passed=0
expect() {
    local name=$1 status=$2 c=$cases/$1 problems=0
    want "$name" out "$3"
    want "$name" err "$4"
    [ "$(cat "$c/windows.status")" = "$status" ] ||
        { fail "$name: status $(cat "$c/windows.status"), expected $status"; problems=1; }
    cmp -s "$c/windows.out" "$c/expected.out" ||
        { fail "$name: stdout differs:"; od -c "$c/windows.out" | head -20; problems=1; }
    cmp -s "$c/windows.err" "$c/expected.err" ||
        { fail "$name: stderr differs:"; od -c "$c/windows.err" | head -20; problems=1; }
    if [ "${5:-}" != own-files ] && ! diff -r --no-dereference "$c/linux" "$c/windows"; then
        fail "$name: files differ from the Linux run"
        problems=1
    fi
    if [ $problems -eq 0 ]; then
        echo "ok   $name (status $status)"
        passed=$((passed + 1))
    fi
}

# The whole set of runs, for one Windows build ($win_bin) and one Wine loader ($wine).
run_suite() {
    local usage_name sample_vkp vkp_name plain long i
    local sample_setup='cp "$src/examples/sample.d88" sample.d88'

    # --- d88extract
    run_case d88extract-sample "$sample_setup" d88extract sample.d88
    expect d88extract-sample 0 = ""
    [ -s "$cases/d88extract-sample/linux.out" ] || fail "d88extract listed nothing on the sample"

    usage_name="Z:${win_bin//\//\\}\\d88extract.exe"
    run_case d88extract-usage-none : d88extract
    expect d88extract-usage-none 1 "" "Usage: $usage_name [d88file]$CRLF"
    run_case d88extract-usage-two "$sample_setup" d88extract sample.d88 sample.d88
    expect d88extract-usage-two 1 "" "Usage: $usage_name [d88file]$CRLF"
    run_case d88extract-missing-image : d88extract missing.d88
    expect d88extract-missing-image 1 "" "$M_OPEN_IMAGE"
    run_case d88extract-short-image 'printf D88 >short.d88' d88extract short.d88
    expect d88extract-short-image 0 "" ""

    # Names refused on Windows only: the Linux run writes them as files.
    run_case d88extract-backslash-name 'sample_with_entry img.d88 "A\\B"' d88extract img.d88
    rm -f "$cases/d88extract-backslash-name/linux/A\\B"
    expect d88extract-backslash-name 1 = "A\\B: $M_BAD_NAME"
    run_case d88extract-colon-name 'sample_with_entry img.d88 "C:D"' d88extract img.d88
    rm -f "$cases/d88extract-colon-name/linux/C:D"
    expect d88extract-colon-name 1 = "C:D: $M_BAD_NAME"
    # Names refused everywhere.
    run_case d88extract-dotdot-name 'sample_with_entry img.d88 ".."' d88extract img.d88
    expect d88extract-dotdot-name 1 = "..: $M_BAD_NAME"
    run_case d88extract-slash-name 'sample_with_entry img.d88 "X/Y"' d88extract img.d88
    expect d88extract-slash-name 1 = "X/Y: $M_BAD_NAME"
    # Start sector 0xffff lies beyond the last track.
    run_case d88extract-unreadable 'sample_with_entry img.d88 LOST 65535' d88extract img.d88
    expect d88extract-unreadable 1 = "LOST: $M_CANNOT_READ"
    run_case d88extract-cannot-create 'sample_with_entry img.d88 DIR; mkdir DIR' d88extract img.d88
    expect d88extract-cannot-create 1 = "DIR: $M_CANNOT_CREATE"
    # A symbolic link to /dev/full: Wine opens it and the write fails as on a full disk. Wine
    # cannot delete the link afterwards (it stands for a device), so only the messages count.
    run_case d88extract-cannot-write 'sample_with_entry img.d88 FULL; ln -s /dev/full FULL' \
        d88extract img.d88
    expect d88extract-cannot-write 1 = "FULL: $M_CANNOT_WRITE" own-files

    # --- drupa, on the VKP file that d88extract pulled out of the sample
    sample_vkp=$(find "$cases/d88extract-sample/linux" -maxdepth 1 -iname '*.vkp' | sort | head -1)
    [ -n "$sample_vkp" ] || { fail "the sample holds no VKP file"; return; }
    vkp_name=$(basename "$sample_vkp")
    plain=${vkp_name%.*}
    run_case drupa-sample "cp '$sample_vkp' ." drupa "$vkp_name"
    expect drupa-sample 0 = ""
    [ -s "$cases/drupa-sample/linux/$plain" ] || fail "drupa wrote no $plain"

    run_case drupa-usage-none : drupa
    expect drupa-usage-none 1 "" "Usage: drupa (VKP File)$CRLF"
    run_case drupa-usage-two "cp '$sample_vkp' ." drupa "$vkp_name" "$vkp_name"
    expect drupa-usage-two 1 "" "Usage: drupa (VKP File)$CRLF"
    run_case drupa-missing-input : drupa missing.vkp
    expect drupa-missing-input 1 "" "$M_IN_OPEN"
    run_case drupa-no-full-stop "cp '$sample_vkp' NOEXT" drupa NOEXT
    expect drupa-no-full-stop 1 "@$cases/drupa-sample/linux.out" "$M_NO_EXT"
    # ".\NOEXT" has its only full stop first: the output name is empty.
    run_case drupa-empty-output-name "cp '$sample_vkp' NOEXT" drupa ./NOEXT
    expect drupa-empty-output-name 1 "@$cases/drupa-sample/linux.out" "$M_OUT_OPEN"
    run_case drupa-output-is-directory "cp '$sample_vkp' OUT.VKP; mkdir OUT" drupa OUT.VKP
    expect drupa-output-is-directory 1 "@$cases/drupa-sample/linux.out" "$M_OUT_OPEN"
    run_case drupa-cannot-write "cp '$sample_vkp' FULL.VKP; ln -s /dev/full FULL" drupa FULL.VKP
    expect drupa-cannot-write 1 "@$cases/drupa-sample/linux.out" "$M_OUT_WRITE" own-files
    run_case drupa-empty-file ': >EMPTY.VKP' drupa EMPTY.VKP
    expect drupa-empty-file 0 "compressed = 0 -> original = 0$CRLF" ""
    run_case drupa-negative-sizes "printf '\\x80\\0\\0\\0\\xff\\xff\\xff\\xff' >NEG.VKP" drupa NEG.VKP
    expect drupa-negative-sizes 0 "compressed = -2147483648 -> original = -1$CRLF" ""
    # A 4106-byte path: Wine opens it (Linux cannot: it exceeds PATH_MAX), and the output name
    # would not fit.
    long=$(printf './%.0s' $(seq 2048))$vkp_name
    run_case drupa-name-too-long "cp '$sample_vkp' ." drupa "$long"
    expect drupa-name-too-long 1 "@$cases/drupa-sample/linux.out" "$M_TOO_LONG"

    # --- vkpack
    run_case vkpack-usage-none : vkpack
    expect vkpack-usage-none 1 "" "Usage: vkpack (File)$CRLF"
    run_case vkpack-usage-two ': >A; : >B' vkpack A B
    expect vkpack-usage-two 1 "" "Usage: vkpack (File)$CRLF"
    run_case vkpack-missing-input : vkpack missing.txt
    expect vkpack-missing-input 1 "" "$M_IN_OPEN"
    run_case vkpack-sample "cp '$cases/drupa-sample/linux/$plain' ." vkpack "$plain"
    expect vkpack-sample 0 = ""
    # Bytes a text-mode stream would change: CR LF, lone LF and CR, Ctrl-Z, NUL.
    local binary_setup='perl -e '\''print map { chr($_ * 7 % 256) } 0 .. 70000; print "\r\n\x1a\n\r\0" x 3000'\'' >BIN.DAT'
    run_case vkpack-binary "$binary_setup" vkpack BIN.DAT
    expect vkpack-binary 0 = ""
    run_case drupa-binary "cp '$cases/vkpack-binary/windows/BIN.DAT.vkp' ." drupa BIN.DAT.vkp
    expect drupa-binary 0 = ""
    (cd "$scratch" && eval "$binary_setup")
    cmp "$cases/drupa-binary/windows/BIN.DAT" "$scratch/BIN.DAT" ||
        fail "vkpack then drupa under Wine did not give the original bytes back"
    run_case vkpack-empty-file ': >EMPTY' vkpack EMPTY
    expect vkpack-empty-file 0 = ""
    run_case vkpack-output-is-directory 'echo text >X; mkdir X.vkp' vkpack X
    expect vkpack-output-is-directory 1 = "$M_OUT_OPEN"
    run_case vkpack-cannot-write 'echo text >X; ln -s /dev/full X.vkp' vkpack X
    expect vkpack-cannot-write 1 = "$M_OUT_WRITE" own-files
    # 16 MiB of random bytes cannot be packed into 16 MiB.
    run_case vkpack-too-big 'head -c 16777216 /dev/urandom >RANDOM' vkpack RANDOM
    expect vkpack-too-big 1 = "$M_OUT_TOO_BIG" own-files
    if [ -e "$cases/vkpack-too-big/windows/RANDOM.vkp" ]; then
        fail "vkpack-too-big left an output file"
    fi
    # Sparse files, refused from their size before they are read: too large to pack, and
    # too large for the header.
    run_case vkpack-too-big-to-pack 'truncate -s 142112821 SPARSE' vkpack SPARSE
    expect vkpack-too-big-to-pack 1 = "$M_OUT_TOO_BIG"
    run_case vkpack-too-big-for-header 'truncate -s 2147483648 SPARSE' vkpack SPARSE
    expect vkpack-too-big-for-header 1 = "$M_TOO_BIG"
}

suite_for() {
    local arch=$1
    wine=$2
    win_bin=$scratch/win-$arch
    mkdir -p "$win_bin"
    cp "build-win-$arch/programs/d88extract.exe" "build-win-$arch/programs/drupa.exe" \
        "build-win-$arch/programs/vkpack.exe" "$win_bin/"
    cases=$scratch/cases-$arch
    passed=0
    echo "== the $arch programs under Wine ($wine)"
    run_suite
    echo "$arch under Wine: $passed runs as expected"
}

suite_for x86_64 "$wine64"

# 32-bit programs need a 32-bit Wine (Debian's wine32, an i386 package); without it they are
# only built.
probe=$scratch/probe32
mkdir -p "$probe"
cp build-win-i686/programs/d88extract.exe "$probe/"
if [ -n "$wine32" ] && (cd "$probe" && "$wine32" d88extract.exe 2>&1 | grep -q '^Usage:'); then
    suite_for i686 "$wine32"
else
    echo "== the i686 programs were built but not run: no 32-bit Wine here"
    (cd "$probe" && WINEDEBUG=err+all "$wine64" d88extract.exe 2>&1 | grep -v fixme | head -5) || true
fi

if [ "$failures" -ne 0 ]; then
    echo "windows check: $failures failure(s)" >&2
    exit 1
fi
echo "windows check: OK"
