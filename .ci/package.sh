#!/usr/bin/env bash
# Installation and Debian package check: lints the man pages, installs with `cmake --install`
# into a scratch prefix and builds the outside project tests/install against it (CMake package
# and pkg-config), builds the two .deb packages with CPack (retrodisk, libretrodisk-dev), checks
# their control fields and contents, unpacks them with dpkg-deb -x, builds the outside project
# against the unpacked -dev package and runs the unpacked programs on the bundled sample,
# comparing everything they print and write with the build tree's programs. Exits non-zero on
# any problem.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${PACKAGE_BUILD_DIR:-build-deb}

. .ci/lib.sh
install_missing cmake g++ ninja-build dpkg-dev groff-base mandoc man-db pkg-config \
    libcli11-dev nlohmann-json3-dev zlib1g-dev


scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== man pages: groff -ww and mandoc -T lint"
pages=(d88extract.1 drupa.1 vkpack.1 d88.1)
for page in "${pages[@]}"; do
    out=$(groff -ww -man -Tutf8 -z "man/$page" 2>&1) || fail "groff exits non-zero on $page"
    [ -z "$out" ] || fail "groff warnings on $page: $out"
    out=$(mandoc -T lint -W warning "man/$page" 2>&1) || fail "mandoc lint on $page: $out"
    [ -z "$out" ] || fail "mandoc warnings on $page: $out"
    if LC_ALL=C grep -nP '[^\x00-\x7F]' "man/$page"; then fail "$page is not ASCII"; fi
done

echo "== build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DRETRODISK_WEB=OFF >/dev/null
cmake --build "$build" -j2

echo "== cmake --install into a scratch prefix"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/d88extract bin/drupa bin/vkpack bin/d88 \
         share/man/man1/d88extract.1.gz share/man/man1/drupa.1.gz share/man/man1/vkpack.1.gz \
         share/man/man1/d88.1.gz \
         share/doc/retrodisk/copyright include/retrodisk/d88/disk_image.h \
         include/retrodisk/vkp/encoder.h include/retrodisk/fs/file_system.h \
         lib/libretrodisk_d88.a lib/libretrodisk_vkp.a lib/libretrodisk_fs.a \
         lib/cmake/retrodisk/retrodiskConfig.cmake lib/cmake/retrodisk/retrodiskConfigVersion.cmake \
         lib/pkgconfig/retrodisk.pc; do
    [ -f "$scratch/prefix/$f" ] || fail "cmake --install did not install $f"
done
[ -z "$(find "$scratch/prefix" -name bytes.h)" ] || fail "the internal bytes.h was installed"

# consumer PREFIX NAME: builds tests/install against the package under PREFIX, with CMake and
# with pkg-config, and runs both builds on the sample.
consumer() {
    local prefix=$1 name=$2 dir=$scratch/consumer-$2
    if ! cmake -S tests/install -B "$dir" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$dir.log" 2>&1 ||
        ! cmake --build "$dir" >>"$dir.log" 2>&1; then
        cat "$dir.log"
        fail "the outside project does not build against $name"
        return
    fi
    "$dir/consumer" examples/sample.d88 >"$dir.out" || fail "the outside project fails against $name"
    cat "$dir.out"
    local flags
    flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name retrodisk.pc)") pkg-config --cflags --libs retrodisk) ||
        { fail "pkg-config does not find retrodisk in $name"; return; }
    g++ -std=c++17 -o "$dir/consumer-pc" tests/install/consumer.cpp $flags ||
        { fail "the outside project does not build with pkg-config ($flags) against $name"; return; }
    "$dir/consumer-pc" examples/sample.d88 | cmp -s - "$dir.out" ||
        fail "the pkg-config build of the outside project differs against $name"
}
echo "== the outside project against the installed prefix"
consumer "$scratch/prefix" "cmake --install"
for page in "${pages[@]}"; do
    out=$(MANWIDTH=80 man --warnings=w -l "$scratch/prefix/share/man/man1/$page.gz" 2>&1 >/dev/null) ||
        fail "man -l fails on the installed $page"
    [ -z "$out" ] || fail "man -l warnings on the installed $page: $out"
done

echo "== cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/retrodisk_*.deb 2>/dev/null || true)
devdeb=$(ls "$build"/libretrodisk-dev_*.deb 2>/dev/null || true)
[ "$(ls "$build"/*.deb | wc -l)" -eq 2 ] && [ -f "$deb" ] && [ -f "$devdeb" ] ||
    { fail "expected retrodisk_*.deb and libretrodisk-dev_*.deb in $build"; ls "$build"/*.deb; exit 1; }

# check_files DEB EXPECTED: the package holds exactly the EXPECTED files (one per line, sorted).
check_files() {
    local actual
    echo "$1"
    dpkg-deb -c "$1"
    actual=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort)
    [ "$actual" = "$2" ] ||
        fail "$(basename "$1"): files differ from the expected list:
$(diff <(echo "$2") <(echo "$actual") || true)"
}
check_files "$deb" "./usr/bin/d88
./usr/bin/d88extract
./usr/bin/drupa
./usr/bin/vkpack
./usr/share/doc/retrodisk/copyright
./usr/share/man/man1/d88.1.gz
./usr/share/man/man1/d88extract.1.gz
./usr/share/man/man1/drupa.1.gz
./usr/share/man/man1/vkpack.1.gz"
check_files "$devdeb" "./usr/include/retrodisk/d88/directory.h
./usr/include/retrodisk/d88/disk_image.h
./usr/include/retrodisk/d88/editor.h
./usr/include/retrodisk/d88/image_view.h
./usr/include/retrodisk/d88/names.h
./usr/include/retrodisk/d88/scan.h
./usr/include/retrodisk/fs/edit.h
./usr/include/retrodisk/fs/file_system.h
./usr/include/retrodisk/fs/volume.h
./usr/include/retrodisk/vkp/decoder.h
./usr/include/retrodisk/vkp/encoder.h
./usr/include/retrodisk/vkp/format.h
./usr/lib/cmake/retrodisk/retrodiskConfig.cmake
./usr/lib/cmake/retrodisk/retrodiskConfigVersion.cmake
./usr/lib/cmake/retrodisk/retrodiskTargets-release.cmake
./usr/lib/cmake/retrodisk/retrodiskTargets.cmake
./usr/lib/libretrodisk_d88.a
./usr/lib/libretrodisk_fs.a
./usr/lib/libretrodisk_vkp.a
./usr/lib/pkgconfig/retrodisk.pc"
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $6 ~ /bin\// && $1 !~ /^-rwxr-xr-x/ {exit 1}' ||
    fail "programs are not mode 0755"
[ "$(dpkg-deb -f "$deb" Package)" = retrodisk ] || fail "Package field"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "Section field"
[ "$(dpkg-deb -f "$devdeb" Package)" = libretrodisk-dev ] || fail "Package field of the -dev package"
[ "$(dpkg-deb -f "$devdeb" Section)" = libdevel ] || fail "Section field of the -dev package"
for d in "$deb" "$devdeb"; do
    [ -n "$(dpkg-deb -f "$d" Maintainer)" ] || fail "no Maintainer field in $d"
    [ -n "$(dpkg-deb -f "$d" Description)" ] || fail "no Description field in $d"
done
for dependency in libc6 zlib1g; do
    case "$(dpkg-deb -f "$deb" Depends)" in
        *"$dependency"*) ;;
        *) fail "Depends does not name $dependency: $(dpkg-deb -f "$deb" Depends)" ;;
    esac
done
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

echo "== the outside project against the unpacked libretrodisk-dev"
devroot=$scratch/devroot
dpkg-deb -x "$devdeb" "$devroot"
consumer "$devroot/usr" libretrodisk-dev

echo "== unpack with dpkg-deb -x and run the installed programs on the bundled sample"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
for page in "${pages[@]}"; do
    out=$(MANWIDTH=80 man --warnings=w -l "$root/usr/share/man/man1/$page.gz" 2>&1 >/dev/null) ||
        fail "man -l fails on the packaged $page"
    [ -z "$out" ] || fail "man -l warnings on the packaged $page: $out"
done

# run_sample BIN_DIR DIR: the typical use end to end in DIR: d88extract on the sample image,
# d88 ls and d88 get --raw-names on it (the same files as d88extract's),
# drupa on every extracted .VKP file, then vkpack on each expanded file and drupa on the packed
# one again in a subdirectory (a round trip). Output and status go to DIR/log.
run_sample() {
    local bin=$1 dir=$2
    mkdir -p "$dir"
    (
        cd "$dir"
        set +e
        "$bin/d88extract" "$src/examples/sample.d88" >stdout.d88extract 2>stderr.d88extract
        echo "d88extract status $?" >>log
        "$bin/d88" ls "$src/examples/sample.d88" >stdout.d88-ls 2>stderr.d88-ls
        echo "d88 ls status $?" >>log
        "$bin/d88" get --raw-names -o d88-get "$src/examples/sample.d88" >stdout.d88-get 2>stderr.d88-get
        echo "d88 get status $?" >>log
        # d88 get --raw-names writes the same files as d88extract.
        same=0
        for f in *; do
            case $f in stdout.* | stderr.* | log | d88-get) ;; *) cmp -s "$f" "d88-get/$f" || same=1 ;; esac
        done
        [ "$(ls d88-get | wc -l)" -eq "$(ls | grep -cv -e '^std' -e '^log$' -e '^d88-get$')" ] || same=1
        echo "d88 get --raw-names as d88extract status $same" >>log
        for packed in *.VKP *.vkp; do
            [ -f "$packed" ] || continue
            "$bin/drupa" "$packed" >"stdout.drupa.$packed" 2>"stderr.drupa.$packed"
            echo "drupa $packed status $?" >>log
            plain=${packed%.*}
            mkdir -p "roundtrip.$plain"
            cp "$plain" "roundtrip.$plain/$plain"
            (
                cd "roundtrip.$plain"
                "$bin/vkpack" "$plain" >stdout.vkpack 2>stderr.vkpack
                echo "vkpack $plain status $?" >>../log
                mv "$plain" "$plain.orig"
                "$bin/drupa" "$plain.vkp" >stdout.drupa 2>stderr.drupa
                echo "drupa $plain.vkp status $?" >>../log
                cmp "$plain" "$plain.orig" >>../log 2>&1
                echo "round trip of $plain status $?" >>../log
            )
        done
    )
}

[ -f examples/sample.d88 ] || { fail "examples/sample.d88 is missing"; exit 1; }
built=$scratch/built-bin
mkdir -p "$built"
ln -s "$PWD/$build/programs/d88extract" "$PWD/$build/programs/drupa" "$PWD/$build/programs/vkpack" \
    "$PWD/$build/programs/d88" "$built"
run_sample "$root/usr/bin" "$scratch/installed"
run_sample "$built" "$scratch/built"

cat "$scratch/installed/log"
cat "$scratch/installed/stdout.d88extract"
[ -s "$scratch/installed/stdout.d88extract" ] || fail "d88extract listed nothing"
grep -q '^drupa .* status 0$' "$scratch/installed/log" || fail "no VKP file was extracted and expanded"
if grep -v ' status 0$' "$scratch/installed/log"; then
    fail "a program of the package failed on the sample (see the log above)"
fi
for f in "$scratch"/installed/stderr.* "$scratch"/installed/*/stderr.*; do
    [ ! -s "$f" ] || fail "$(basename "$f") is not empty: $(iconv -f SHIFT_JIS -t UTF-8 "$f" 2>/dev/null || cat "$f")"
done
diff -r "$scratch/built" "$scratch/installed" ||
    fail "the packaged programs' output differs from the build tree's"

if [ "$failures" -ne 0 ]; then
    echo "package check: $failures failure(s)" >&2
    exit 1
fi
echo "package check: OK"
