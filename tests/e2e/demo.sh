#!/bin/sh
# Shows the two programs at work under Wine: builds what the demonstration needs
# in the given build folder (i686; x86_64 on a host that runs no 32-bit code),
# runs the whole installation road on a demonstration medium twice (installation,
# then hand-off) and tells what each step did; exits non-zero when one did not happen.
#
#   tests/e2e/demo.sh build/i686
set -eu
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
log="$build/demo-build.log"
if ! cmake --build "$build" --target e2e_tools >"$log" 2>&1; then
    cat "$log" >&2
    echo "demo: building the programs and the stand-ins failed" >&2
    exit 1
fi
exec python3 "$(cd "$(dirname "$0")" && pwd)/demo.py" "$build"
