# Sourced by the CI scripts.

# install_missing PACKAGE...: installs those of the Debian packages that are not installed yet.
# A name "a|b" is satisfied by either package and installs a when neither is there.
install_missing() {
    local need=() pkg alt found
    for pkg in "$@"; do
        found=
        for alt in ${pkg//|/ }; do
            dpkg -s "$alt" >/dev/null 2>&1 && found=1
        done
        [ -n "$found" ] || need+=("${pkg%%|*}")
    done
    [ ${#need[@]} -gt 0 ] || return 0
    export DEBIAN_FRONTEND=noninteractive
    # Package lists are fetched once per CI run, by whichever script needs them first.
    if [ -z "${CI_APT_UPDATED:-}" ]; then
        apt-get update
        export CI_APT_UPDATED=1
    fi
    apt-get install -y --no-install-recommends "${need[@]}"
}

# fail MESSAGE: records one failure; scripts exit non-zero at the end when $failures > 0.
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
