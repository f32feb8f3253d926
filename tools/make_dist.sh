#!/usr/bin/env bash
# Puts the shipped programs of a build into the release folder, signed when
# asked, with SHA256SUMS, after the release check has passed on them as shipped.
#
# Usage: tools/make_dist.sh <i686 build folder> <release folder>
# Signing (Authenticode, SHA-256, by osslsigncode) is asked for through these
# variables (make dist passes its own of these names on):
#   SIGN_CERT and SIGN_KEY  the certificate (PEM, with its chain) and private key, or
#   SIGN_PFX                a PKCS#12 file holding both
#   SIGN_PASS_FILE          a file holding the password of the key or PKCS#12 file
#   SIGN_URL                a URL shown with the signature
#   SIGN_TIMESTAMP_URL      an RFC 3161 time-stamp server
# The release folder's programs are removed first and the new ones prepared in
# a staging folder, so a failed run leaves nothing there that could be shipped
# (in particular no unsigned program when signing was asked for).
set -euo pipefail

fail() { echo "make_dist: $*" >&2; exit 1; }
[ $# -eq 2 ] || { echo "usage: $0 <i686 build folder> <release folder>" >&2; exit 2; }
build=$1 dist=$2
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$dist"
rm -f "$dist/setup.exe" "$dist/Install.exe" "$dist/SHA256SUMS"

# A file the signing needs: there, not empty, and readable.
need_file() {
    if ! { [ -f "$2" ] && [ -s "$2" ] && cat -- "$2" >/dev/null 2>&1; }; then
        fail "$1=$2: not a readable, non-empty file"
    fi
}
sign=()
if [ -n "${SIGN_CERT:-}${SIGN_KEY:-}${SIGN_PFX:-}${SIGN_PASS_FILE:-}${SIGN_URL:-}${SIGN_TIMESTAMP_URL:-}" ]; then
    if [ -n "${SIGN_PFX:-}" ]; then
        [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || fail "give SIGN_PFX or SIGN_CERT and SIGN_KEY, not both"
        need_file SIGN_PFX "$SIGN_PFX"
        sign=(-pkcs12 "$SIGN_PFX")
    elif [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
        need_file SIGN_CERT "$SIGN_CERT"
        need_file SIGN_KEY "$SIGN_KEY"
        sign=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
    else
        fail "signing needs SIGN_CERT and SIGN_KEY, or SIGN_PFX"
    fi
    # The password travels in its file: osslsigncode reads it from there.
    if [ -n "${SIGN_PASS_FILE:-}" ]; then need_file SIGN_PASS_FILE "$SIGN_PASS_FILE"; sign+=(-readpass "$SIGN_PASS_FILE"); fi
    if [ -n "${SIGN_URL:-}" ]; then sign+=(-i "$SIGN_URL"); fi
    if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then sign+=(-ts "$SIGN_TIMESTAMP_URL"); fi
    command -v osslsigncode >/dev/null || fail "signing needs osslsigncode (make deps installs it)"
fi

stage=$build/dist-staging
rm -rf "$stage"
mkdir -p "$stage/unsigned"
for name in setup.exe Install.exe; do
    cp "$build/$name" "$stage/unsigned/$name"
    if [ ${#sign[@]} -eq 0 ]; then
        cp "$stage/unsigned/$name" "$stage/$name"
        continue
    fi
    # The description shown with the signature is the program's own.
    rc=$root/res/${name,,}
    rc=${rc%.exe}.rc
    description=$(sed -n 's/^ *VALUE "FileDescription", "\(.*\)"/\1/p' "$rc")
    [ -n "$description" ] || fail "no FileDescription in $rc"
    osslsigncode sign -h sha256 -n "$description" "${sign[@]}" \
        -in "$stage/unsigned/$name" -out "$stage/$name" </dev/null >"$stage/sign.log" 2>&1 ||
        { cat "$stage/sign.log" >&2; fail "signing $name failed"; }
    # The signature only adds to the reproducible bytes: without it, they are back.
    if ! { osslsigncode remove-signature -in "$stage/$name" -out "$stage/unsigned/$name.removed" >/dev/null 2>&1 &&
           cmp -s "$stage/unsigned/$name.removed" "$stage/unsigned/$name"; }; then
        fail "$name: removing the signature does not give back the unsigned bytes"
    fi
done

bash "$root/tools/check_dist.sh" ${sign:+--signed} "$stage/setup.exe" "$stage/Install.exe" ||
    fail "the release check failed; nothing was put into $dist"
(cd "$stage" && sha256sum setup.exe Install.exe >SHA256SUMS)
mv "$stage/setup.exe" "$stage/Install.exe" "$stage/SHA256SUMS" "$dist/"
rm -rf "$stage"
echo "make_dist: $dist holds setup.exe, Install.exe ($([ ${#sign[@]} -eq 0 ] && echo unsigned || echo signed)) and SHA256SUMS"
