#!/bin/bash
# SPDX-License-Identifier: MIT
# Hunts flaky tests: runs the tests whose CTest names match PATTERN N times
# over in one leg, while busy loops keep the machine's other cores working
# (as other jobs would on a shared runner), then prints each test's runs and
# failures.
#
#   bash scripts/repeat-tests.sh LEG PATTERN N
#
# LEG is native (build-tests), sanitize (build-sanitize), thread
# (build-thread), windows (build-windows under Wine, through
# scripts/windows-tests.sh) or arm64 (build-arm64 under qemu, through
# scripts/arm64-tests.sh). A native leg's tree is built first if absent, as
# scripts/test.sh builds it; the cross legs' scripts bring theirs up to date
# themselves. The tests run one at a time, beside the busy loops.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."
source scripts/native-legs.sh

if [ $# -ne 3 ]; then
    echo "usage: $0 native|sanitize|thread|windows|arm64 PATTERN N" >&2
    exit 2
fi
leg=$1 pattern=$2 runs=$3
per_test_timeout=${VELTRANO_TEST_TIMEOUT:-120}

case $leg in
native) build_dir=build-tests ;;
sanitize) build_dir=build-sanitize ;;
thread) build_dir=build-thread ;;
windows | arm64) build_dir="" ;;
*)
    echo "repeat-tests.sh: unknown leg $leg" >&2
    exit 2 ;;
esac
if [ -n "$build_dir" ] && [ ! -f "$build_dir/CMakeCache.txt" ]; then
    build_native_leg "$build_dir"
fi

# One run of the chosen tests; CTest's report goes to standard output.
run_once() {
    local select=(-R "$pattern" --no-tests=error)
    case $leg in
    windows) bash scripts/windows-tests.sh "${select[@]}" ;;
    arm64) bash scripts/arm64-tests.sh "${select[@]}" ;;
    *) ctest --test-dir "$build_dir" --output-on-failure --timeout "$per_test_timeout" "${select[@]}" </dev/null ;;
    esac
}

busy=()
stop_busy() {
    [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true
}
trap stop_busy EXIT
for ((core = 1; core < $(nproc); ++core)); do
    bash -c 'while :; do :; done' &
    busy+=($!)
done

log=$(mktemp)
for ((run = 1; run <= runs; ++run)); do
    echo "-- run $run of $runs"
    run_once >>"$log" 2>&1 || true
done

# CTest's result lines: "  3/12 Test  #7: Name ........   Passed    0.52 sec";
# anything but Passed (or Skipped) is a failure.
echo "-- $leg: $runs runs of the tests matching $pattern, beside ${#busy[@]} busy loop(s)"
status=0
awk '$2 == "Test" && $3 ~ /^#[0-9]+:$/ {
         name = $4
         if (!(name in count)) tests++
         count[name]++
         if (substr($0, index($0, name) + length(name)) !~ /Passed|Skipped/) { failed[name]++; failures++ }
     }
     END {
         if (tests == 0) { print "no test ran"; exit 1 }
         printf "%5s %8s  %s\n", "runs", "failures", "test"
         for (name in count) printf "%5d %8d  %s\n", count[name], failed[name], name | "sort -k3"
         close("sort -k3")
         exit failures > 0
     }' "$log" || status=$?
if [ "$status" -eq 0 ]; then
    rm -f -- "$log"
else
    echo "-- every run's output: $log"
fi
exit "$status"
