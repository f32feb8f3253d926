#!/bin/sh
# Installs the build and test tools from Debian's packages when they are
# missing: MinGW-w64 cross compilers, Wine (32- and 64-bit), CMake, GoogleTest,
# and clang, clang-tidy and cppcheck for the robustness checks.
# Safe to run again: it does nothing when everything is there.
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

[ -z "$need" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "deps: missing:$need (run as root to install them)" >&2
    exit 1
fi
echo "deps: installing:$need"
case "$need" in
    *i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $need </dev/null
