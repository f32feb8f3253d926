#!/usr/bin/env bash
# Static analysis of the programs' code (setup/, install/, common/); fails on
# any finding.
#   - clang-tidy with the checks in .clang-tidy: the portable sources as the
#     host build compiles them (its compile_commands.json), the Win32 sources
#     (entry points, platform_win32*.cpp) for the 32-bit MinGW target against
#     the MinGW headers, as the shipped programs are built.
#   - cppcheck on all of it, with tools/cppcheck-suppressions.txt.
#
#   tools/static_check.sh [host-build-dir]    default build/host (`make host`
#                                             configures it with compile commands)
set -euo pipefail
cd "$(dirname "$0")/.."

host=${1:-build/host}
db="$host/compile_commands.json"
jobs=${JOBS:-2}
if [ ! -f "$db" ]; then
    echo "static_check: $db is missing: configure $host with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON (make host)" >&2
    exit 2
fi

root=$(pwd)
# The programs' sources that the host build compiles, and those it cannot (Win32).
mapfile -t portable < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\} *$/\1/p' "$db" |
    sed "s|^$root/||" | grep -E '^(setup|install|common)/[^/]*\.cpp$' | sort -u)
mapfile -t win32 < <(ls setup/*.cpp install/*.cpp common/*.cpp | sort | comm -23 - <(printf '%s\n' "${portable[@]}"))
if [ "${#portable[@]}" -eq 0 ]; then
    echo "static_check: no program sources in $db" >&2
    exit 2
fi

status=0
started=$(date +%s)

echo "clang-tidy: ${#portable[@]} portable sources (host compile commands)"
# clang-tidy counts the warnings it filtered out on standard error; only findings matter here.
quiet() { sed -E '/^[0-9]+ warnings? generated\.$/d'; }
printf '%s\n' "${portable[@]}" | xargs -P "$jobs" -n 1 clang-tidy -p "$host" --quiet 2>&1 | quiet || status=1

# The Win32 sources: clang for the MinGW target finds the MinGW C headers
# itself; the C++ headers are where the MinGW g++ keeps them, so take its list.
cxx_includes=()
while read -r dir; do cxx_includes+=(-isystem "$dir"); done < <(
    echo | i686-w64-mingw32-g++ -xc++ -E -v - 2>&1 |
        sed -n '/search starts here/,/End of search/p' | sed -n 's/^ \(\/.*c++.*\)$/\1/p')
echo "clang-tidy: ${#win32[@]} Win32 sources (i686-w64-mingw32)"
printf '%s\n' "${win32[@]}" | xargs -P "$jobs" -I{} clang-tidy --quiet {} -- \
    --target=i686-w64-mingw32 -std=c++17 -fno-exceptions -fno-rtti -nostdinc++ "${cxx_includes[@]}" \
    -Icommon -Isetup -Iinstall 2>&1 | quiet || status=1

echo "cppcheck: setup/ install/ common/"
cppcheck --enable=warning,style,performance,portability --inconclusive --std=c++17 --language=c++ \
    --error-exitcode=1 --quiet -Icommon -Isetup -Iinstall \
    --suppressions-list=tools/cppcheck-suppressions.txt \
    --template='{file}:{line}: {severity}: {message} [{id}]' \
    setup install common || status=1

if [ "$status" = 0 ]; then
    echo "static_check: clean ($(( $(date +%s) - started )) s)"
else
    echo "static_check: findings above" >&2
fi
exit "$status"
