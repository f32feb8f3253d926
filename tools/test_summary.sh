#!/bin/sh
# One closing line for make test over the test runners' logs it names:
# "test: P passed, F failed, S skipped", counting every test of every
# ctest run in them (ctest counts a skipped test among the passed ones).
set -eu
total=0 failed=0 skipped=0
for log in "$@"; do
    [ -f "$log" ] || continue
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
    [ -n "$line" ] || continue
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    t=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    s=$(grep -c -- '\*\*\*Skipped' "$log" || true)
    total=$((total + t)) failed=$((failed + f)) skipped=$((skipped + s))
done
echo "test: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
