#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, and runs each for a bounded time
# from its seed corpus. Fails when any target finds a crash, a sanitizer
# report, a broken invariant or a hang.
#
#   tools/fuzz.sh              20 s per target (what `make test` runs)
#   tools/fuzz.sh 600          a longer campaign: 10 minutes per target
#
#   FUZZ_TARGETS="shortcut_paths" tools/fuzz.sh 600    one target only
#
# FUZZ_JOBS targets run side by side (default 2, one per core). New inputs
# go to build/fuzz/corpus/<target> and are kept for the next run, so longer
# runs build on earlier ones; crashing inputs go to build/fuzz/artifacts/.
# To replay one: build/fuzz/tests/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
jobs=${FUZZ_JOBS:-2}
build=${FUZZ_DIR:-build/fuzz}
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;; esac

# Target and the longest input it is given: command lines up to the Windows
# limit of 32,767 characters; paths and versions well past 260.
targets=(
    "setup_command_line 32768"
    "install_split 32768"
    "install_launch 32768"
    "version_compare 4096"
    "uninstall_command 1024"
    "shortcut_paths 1024"
)

if [ -n "${FUZZ_TARGETS:-}" ]; then
    chosen=()
    for entry in "${targets[@]}"; do
        case " $FUZZ_TARGETS " in *" ${entry%% *} "*) chosen+=("$entry") ;; esac
    done
    if [ "${#chosen[@]}" -eq 0 ]; then
        echo "fuzz: no target named in FUZZ_TARGETS=$FUZZ_TARGETS" >&2
        exit 2
    fi
    targets=("${chosen[@]}")
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKVI_FUZZ=ON >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

mkdir -p "$build/logs" "$build/artifacts"
rm -f "$build"/logs/*.log "$build"/logs/*.status

run_target() {
    local name=$1 max_len=$2 status=0
    mkdir -p "$build/corpus/$name"
    "$build/tests/fuzz/fuzz_$name" \
        -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
        "$build/corpus/$name" "tests/fuzz/corpus/$name" >"$build/logs/$name.log" 2>&1 || status=$?
    echo "$status" >"$build/logs/$name.status"
}

started=$(date +%s)
for entry in "${targets[@]}"; do
    # shellcheck disable=SC2086
    run_target $entry &
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
for entry in "${targets[@]}"; do
    name=${entry%% *}
    log="$build/logs/$name.log"
    status=$(cat "$build/logs/$name.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(find "$build/corpus/$name" -type f | wc -l)
    if [ "$status" = 0 ]; then
        printf 'fuzz %-20s %10s executions in %s s, %s inputs kept, no failure\n' "$name" "${runs:-?}" "$seconds" "$corpus"
    else
        failed=1
        printf 'fuzz %-20s FAILED (exit %s); log %s\n' "$name" "$status" "$log"
        grep -E 'invariant failed|  at |ERROR:|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 || true
    fi
done
echo "fuzz: $(( $(date +%s) - started )) s wall for ${#targets[@]} targets, $seconds s each, $jobs at a time"
exit "$failed"
