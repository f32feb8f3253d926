#!/bin/sh
# Shows the two programs at work under Wine: builds what the demonstration
# needs in the given build folder (i686; x86_64 on a host that runs no 32-bit
# code), lays out a demonstration medium
# there and runs the whole installation road on it, twice (installation,
# then hand-off), printing what each step did. Exits non-zero when a step
# did not happen.
#
#   tests/e2e/demo.sh build/i686
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

log="$build/demo-build.log"
if ! cmake --build "$build" --target e2e_tools >"$log" 2>&1; then
    cat "$log" >&2
    echo "demo: building the programs and the stand-ins failed" >&2
    exit 1
fi
exec python3 "$here/demo.py" "$build"
