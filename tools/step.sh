#!/bin/sh
# Runs one step of a make target quietly: one line saying what it does, its
# output appended to a log, and the log's last lines only when it fails.
#
#   tools/step.sh LOG WHAT COMMAND [ARGUMENT...]
#
# SHOW, when set, is an extended regular expression: the lines of the step's
# output that match it are printed after the step, failed or not (a test
# runner's summary), each behind the step's name. The exit status is the
# command's.
set -u
[ $# -ge 3 ] || { echo "usage: $0 LOG WHAT COMMAND [ARGUMENT...]" >&2; exit 2; }
log=$1 what=$2
shift 2
mkdir -p "$(dirname "$log")"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
echo "== $what"
started=$(date +%s)
"$@" </dev/null >"$out" 2>&1
status=$?
{
    echo "### $what: $*"
    cat "$out"
    echo "### exit $status after $(( $(date +%s) - started )) s"
} >>"$log"
# Prefixed with the step's name: steps of two lanes may end in any order.
if [ -n "${SHOW:-}" ]; then grep -E -- "$SHOW" "$out" | while IFS= read -r line; do echo "   $what: $line"; done; fi
if [ "$status" != 0 ]; then
    echo "FAILED: $what (exit $status); the last lines of its output (all of it in $log):" >&2
    tail -n 40 "$out" >&2
fi
exit "$status"
