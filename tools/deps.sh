#!/bin/sh
# Installs the build and test tools from Debian's packages when they are
# missing: MinGW-w64 cross compilers, Wine (32- and 64-bit), CMake, GoogleTest,
# clang, clang-tidy and cppcheck for the robustness checks, and NSIS for the
# example bootstrap installer (examples/bootstrap).
# Safe to run again: it does nothing when everything is there.
# Quiet: one line per step; the package manager's own output goes to
# build/deps.log, whose last lines are shown when a step fails.
set -eu

need=""
have() { command -v "$1" >/dev/null 2>&1; }
pkg_ok() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

have cmake || need="$need cmake"
have make || need="$need make"
have g++ || need="$need g++"
have python3 || need="$need python3"
have i686-w64-mingw32-g++ || need="$need g++-mingw-w64-i686"
have x86_64-w64-mingw32-g++ || need="$need g++-mingw-w64-x86-64"
have x86_64-w64-mingw32-windres || need="$need binutils-mingw-w64-x86-64"
pkg_ok libgtest-dev || need="$need libgtest-dev"
pkg_ok googletest || need="$need googletest"
have wine || need="$need wine"
pkg_ok wine64 || need="$need wine64"
pkg_ok wine32:i386 || need="$need wine32:i386"
# The end-to-end suites run on Debian's pytest (the system's python3, whatever
# python3 comes first on PATH), with reruns for the known start races.
pkg_ok python3-pytest || need="$need python3-pytest"
pkg_ok python3-pytest-rerunfailures || need="$need python3-pytest-rerunfailures"
# Robustness checks (make check-robustness): clang with libFuzzer and the
# sanitizer runtimes, clang-tidy, cppcheck.
have clang++ || need="$need clang"
pkg_ok libclang-rt-14-dev || need="$need libclang-rt-14-dev"
have clang-tidy || need="$need clang-tidy"
have cppcheck || need="$need cppcheck"
# Release signing and its test (make dist SIGN_..., make test).
have osslsigncode || need="$need osslsigncode"
have openssl || need="$need openssl"
# The real-display tests and the pictures of the boxes (make screenshots): a
# virtual X server, a way to press a box's OK, and a screen grabber.
have Xvfb || need="$need xvfb"
have xdotool || need="$need xdotool"
have import || need="$need imagemagick"
# The example bootstrap installer, which the demonstration medium carries.
have makensis || need="$need nsis"
# The check of the CI workflow files (tools/check_workflow.sh installs its
# validator from the npm registry into build/npm).
have npm || need="$need npm"

root=$(cd "$(dirname "$0")/.." && pwd)
# Set when an earlier run found that Wine's 32-bit half cannot be installed
# from this machine's package lists (below); not asked again for this build tree.
no_wine32="$root/build/deps-wine32-unavailable"
[ -f "$no_wine32" ] && need=$(echo "$need" | sed 's/ wine32:i386//')

[ -z "$need" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "deps: missing:$need (run as root to install them)" >&2
    exit 1
fi

mkdir -p "$root/build"
log="$root/build/deps.log"
: >"$log"
shown=${log#"$PWD/"}

# Runs one step with its output in the log; on a failure shows the log's end.
step() {  # step DESCRIPTION COMMAND...
    what=$1
    shift
    echo "deps: $what (log: $shown)"
    echo "### $what: $*" >>"$log"
    if ! "$@" </dev/null >>"$log" 2>&1; then
        echo "deps: failed: $what; the last lines of $shown:" >&2
        tail -n 25 "$log" >&2
        exit 1
    fi
}

export DEBIAN_FRONTEND=noninteractive
case "$need" in
    *i386*)
        dpkg --print-foreign-architectures | grep -qx i386 ||
            step "adding the i386 architecture, for Wine's 32-bit support" dpkg --add-architecture i386 ;;
esac
# A mirror caught mid-sync can fail one index (apt-get update exits non-zero):
# try again, then go on with the lists that did arrive. The install below
# fails loudly by itself when a package it needs is not in them.
echo "deps: updating the package lists (log: $shown)"
for pause in 0 10 30; do
    sleep "$pause"
    echo "### updating the package lists: apt-get update" >>"$log"
    if apt-get update </dev/null >>"$log" 2>&1; then updated=1; break; fi
    updated=0
done
[ "$updated" = 1 ] || echo "deps: the package lists did not all arrive; going on with those that did (see $shown)" >&2
# shellcheck disable=SC2086
set -- $need
case "$need" in
    *:i386*)
        # i386 libraries must have exactly the versions of their amd64 twins. A
        # mirror whose i386 index of one suite failed to arrive (apt-get update
        # above) offers older i386 versions than the amd64 ones: then the
        # versions are aligned (tools/align_i386.py: no package removed, none on
        # the machine downgraded). When even that fails the rest is installed
        # without Wine's 32-bit half, and the 32-bit suites report themselves
        # skipped (tools/wine_arches.sh finds no loader).
        echo "### installing $# packages from Debian:$need" >>"$log"
        if apt-get install -y --no-install-recommends "$@" </dev/null >>"$log" 2>&1; then
            echo "deps: installed $# packages from Debian:$need"
            echo "deps: done"
            exit 0
        fi
        echo "### choosing versions that both architectures' lists have: tools/align_i386.py $*" >>"$log"
        why="python3 is missing"
        if [ "${KVI_WINE64_ONLY:-0}" = 1 ]; then
            why="KVI_WINE64_ONLY=1 keeps the installed versions as they are"
        elif have python3 && pins=$(python3 "$root/tools/align_i386.py" "$@" 2>>"$log"); then
            echo "### the aligned versions:" >>"$log"
            echo "$pins" >>"$log"
            # shellcheck disable=SC2086
            if apt-get install -y --no-install-recommends --no-remove "$@" $pins </dev/null >>"$log" 2>&1; then
                echo "deps: the i386 package lists lag behind the amd64 ones: aligned $(echo "$pins" | wc -l) packages to versions both have (list: $shown)"
                echo "deps: installed $# packages from Debian:$need"
                echo "deps: done"
                exit 0
            fi
            why="apt-get could not install the aligned versions"
        elif have python3; then
            why=$(grep '^align_i386:' "$log" | tail -n 1)
        fi
        echo "deps: the i386 packages cannot be installed from these package lists ($why; see $shown); the i686 programs will not run under Wine here" >&2
        [ "${KVI_WINE64_ONLY:-0}" = 1 ] || echo "apt-get could not install wine32:i386 on $(date -u): $why" >"$no_wine32"
        # shellcheck disable=SC2086
        set -- $(echo "$need" | sed 's/ [^ ]*:i386//g')
        [ $# -eq 0 ] && exit 0 ;;
esac
step "installing $# packages from Debian:$*" apt-get install -y --no-install-recommends "$@"
echo "deps: done"
