#!/usr/bin/env bash
# Builds setup.exe as an earlier commit made it, for figure 1n of the
# benchmark: the sources of that commit, unpacked with git archive and built
# with their own build files (the commit before the programs lost the C
# runtime builds setup with msvcrt.dll and the MinGW start-up code).
#
# Usage: bench/build_baseline.sh COMMIT ARCH OUT   (ARCH: i686 or x86_64)
# Leaves OUT/setup.exe and OUT/commit; a second call for the same commit
# keeps them.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 COMMIT i686|x86_64 OUT" >&2; exit 2; }
rev=$1 arch=$2
mkdir -p "$3"
out=$(cd "$3" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse --verify "$rev^{commit}")
if [ -f "$out/setup.exe" ] && [ "$(cat "$out/commit" 2>/dev/null)" = "$commit" ]; then
    echo "build_baseline: setup.exe of $commit is there ($out)"
    exit 0
fi
rm -rf "$out"
mkdir -p "$out/sources"
git -C "$root" archive "$commit" | tar -x -C "$out/sources"
echo "build_baseline: building setup.exe of $commit in $out"
if ! { SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit") \
           cmake -S "$out/sources" -B "$out/build" -DCMAKE_BUILD_TYPE=MinSizeRel \
           -DCMAKE_TOOLCHAIN_FILE="$out/sources/cmake/toolchain-$arch.cmake" &&
       cmake --build "$out/build" --target setup -j"${JOBS:-2}"; } >"$out/build.log" 2>&1; then
    tail -20 "$out/build.log"
    echo "build_baseline: the build failed (log: $out/build.log)" >&2
    exit 1
fi
cp "$out/build/setup.exe" "$out/setup.exe"
echo "$commit" >"$out/commit"
