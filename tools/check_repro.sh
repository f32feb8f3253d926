#!/usr/bin/env bash
# Reproducibility check: builds the 32-bit programs a second time, from a copy
# of the sources in other folders (other absolute paths, files created in
# reverse order), with another time zone, locale, user name and umask, and the
# same SOURCE_DATE_EPOCH, then compares them byte for byte with the given build.
#
# Usage: tools/check_repro.sh build/i686
# Exits non-zero, naming the files and their first differing offsets, when
# they differ.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/source_date_epoch.txt" ]; then
    echo "usage: $0 <configured i686 build folder>" >&2
    exit 2
fi
ref=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/repro-check/a-second-build-elsewhere
src=$work/sources
rm -rf "$work"
mkdir -p "$src"

# The working tree as it is (tracked and new files), so that the check also
# holds before a commit.
cd "$root"
{ git ls-files -co --exclude-standard 2>/dev/null ||
  find . -path ./build -prune -o -path ./dist -prune -o -type f -print; } |
    tac | while IFS= read -r file; do
        if [ -f "$file" ]; then cp --parents -- "$file" "$src/"; fi
    done

echo "check_repro: building again in $work"
if ! (umask 077
      # A make of its own: nothing of a calling make's variables or flags.
      env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL TZ=Pacific/Kiritimati LC_ALL=C.utf8 LANG=C.utf8 USER=repro LOGNAME=repro HOME="$work" \
          SOURCE_DATE_EPOCH="$(cat "$ref/source_date_epoch.txt")" \
          make -C "$src" --no-print-directory i686 I686_DIR="$work/i686" JOBS="${JOBS:-2}") \
        >"$work/build.log" 2>&1; then
    tail -30 "$work/build.log"
    echo "check_repro: the second build failed (log: $work/build.log)" >&2
    exit 1
fi

status=0
for name in setup.exe Install.exe; do
    a=$ref/$name b=$work/i686/$name
    sum=$(sha256sum <"$a" | cut -d' ' -f1)
    if [ "$sum" = "$(sha256sum <"$b" | cut -d' ' -f1)" ]; then
        echo "ok    $name: identical ($sum)"
    else
        offsets=$(cmp -l "$a" "$b" 2>/dev/null | head -8 | awk '{ printf " 0x%x", $1 - 1 }' || true)
        echo "FAIL  $name differs: sizes $(stat -c %s "$a") and $(stat -c %s "$b"), first differing offsets:${offsets:- none (one is a prefix of the other)}"
        status=1
    fi
done
[ "$status" = 0 ] && echo "check_repro: both programs reproduced byte for byte"
exit "$status"
