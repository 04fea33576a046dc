# Sourced by the CI scripts.

# Package lists are fetched once per CI run, by whichever script needs them first. .ci/run
# exports CI_APT_STAMP, a file that first fetch creates, so that the scripts it starts (each
# its own process) see it; a script run on its own keeps the mark in a variable.
apt_lists_fetched() {
    [ -n "${ci_apt_fetched:-}" ] || { [ -n "${CI_APT_STAMP:-}" ] && [ -e "$CI_APT_STAMP" ]; }
}
fetch_apt_lists() {
    apt_lists_fetched && return 0
    # A mirror caught mid-sync fails one index ("File has unexpected size"): try again, and
    # after three tries go on with the lists there are; an install that then lacks a package
    # fails on its own, naming it.
    local try
    for try in 1 2 3; do
        apt-get update && break
        echo "apt-get update failed (try $try of 3)" >&2
        sleep $((try * 10))
    done
    ci_apt_fetched=1
    if [ -n "${CI_APT_STAMP:-}" ]; then : >"$CI_APT_STAMP"; fi
}

# add_architecture ARCH: lets dpkg install packages built for ARCH (e.g. i386). Lists fetched
# before it was added lack that architecture's packages, so they count as not fetched.
add_architecture() {
    local known
    known="$(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
    case " $known " in *" $1 "*) return 0 ;; esac
    dpkg --add-architecture "$1"
    ci_apt_fetched=
    if [ -n "${CI_APT_STAMP:-}" ]; then rm -f "$CI_APT_STAMP"; fi
}

# install_missing PACKAGE...: installs those of the Debian packages that are not installed yet.
# A name "a|b" is satisfied by either package and installs a when neither is there; a name
# "a:ARCH" is a package of another architecture, which dpkg is told about first.
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
    for pkg in "${need[@]}"; do
        case $pkg in *:*) add_architecture "${pkg##*:}" ;; esac
    done
    fetch_apt_lists
    apt-get install -y --no-install-recommends "${need[@]}"
}

# fail MESSAGE: records one failure; scripts exit non-zero at the end when $failures > 0.
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
