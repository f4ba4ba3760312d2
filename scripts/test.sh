#!/bin/bash
# SPDX-License-Identifier: MIT
# Quick start, part two: installs what is missing, checks the documentation's
# links, then builds and runs every test five times over: the native build (followed by a short fuzzing run of
# each libFuzzer target and the consumer test of the installed package built
# from it), the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the native build under ThreadSanitizer, the
# Windows build under Wine (then its .zip), and the arm64 build under qemu
# (then its .deb); on a 64-bit ARM machine, the first three only, natively.
# Stops at the first leg that fails, and ends with each leg run, its outcome
# and its wall time.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

# On an x86-64 machine the Windows and arm64 builds are cross builds run
# under Wine and qemu; on an arm64 machine (a Raspberry Pi, say) the native
# legs are the arm64 ones, and Wine, an x86-64 program, is not there.
cross_legs=(windows arm64)
if [ "$(uname -m)" != x86_64 ]; then
    cross_legs=()
fi
source scripts/native-legs.sh

# Each leg's outcome and wall time, printed at the end whether the run passed
# or stopped at a failing leg, so that one failure does not hide how far the
# others got.
legs_done=()
leg_name=""
leg_started=0
end_leg() {
    if [ -n "$leg_name" ]; then
        legs_done+=("$(printf '%-6s %6d s  %s' "$1" $(($(date +%s) - leg_started)) "$leg_name")")
    fi
    leg_name=""
}
begin_leg() {
    end_leg passed
    leg_name=$1
    leg_started=$(date +%s)
    echo "== $leg_name"
}
print_legs() {
    local status=$?
    end_leg failed
    echo "== Legs"
    printf '   %s\n' "${legs_done[@]}"
    return "$status"
}
trap print_legs EXIT

begin_leg "Dependencies"
bash scripts/install-dependencies.sh tests package "${cross_legs[@]}"

begin_leg "Documentation links"
python3 scripts/check-docs.py links

run_native_leg() {
    build_native_leg "$1"
    ctest --test-dir "$1" --output-on-failure -j2 --timeout 120 </dev/null
}

begin_leg "Native build"
run_native_leg build-tests
begin_leg "Fuzzing (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)"
bash scripts/fuzz.sh

begin_leg "Consumer test: the installed package, its examples and the .deb"
bash scripts/consumer-test.sh build-tests

begin_leg "AddressSanitizer + UndefinedBehaviorSanitizer"
run_native_leg build-sanitize

begin_leg "ThreadSanitizer"
run_native_leg build-thread

if [ ${#cross_legs[@]} -gt 0 ]; then
    begin_leg "Windows x64 under Wine"
    bash scripts/windows-tests.sh

    begin_leg "arm64 under qemu"
    bash scripts/arm64-tests.sh
fi
end_leg passed
