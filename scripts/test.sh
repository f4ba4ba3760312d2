#!/bin/bash
# SPDX-License-Identifier: MIT
# Quick start, part two: installs what is missing, checks the documentation's
# links, then builds and runs every test five times over: the native build (followed by a short fuzzing run of
# each libFuzzer target and the consumer test of the installed package built
# from it), the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the native build under ThreadSanitizer, the
# Windows build under Wine (then its .zip), and the arm64 build under qemu
# (then its .deb); on a 64-bit ARM machine, the first three only, natively.
# Stops at the first leg that fails.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

# On an x86-64 machine the Windows and arm64 builds are cross builds run
# under Wine and qemu; on an arm64 machine (a Raspberry Pi, say) the native
# legs are the arm64 ones, and Wine, an x86-64 program, is not there.
cross_legs=(windows arm64)
if [ "$(uname -m)" != x86_64 ]; then
    cross_legs=()
fi
bash scripts/install-dependencies.sh tests package "${cross_legs[@]}"

echo "== Documentation links"
python3 scripts/check-docs.py links

run_native_leg() {
    local build_dir=$1
    shift
    cmake -S . -B "$build_dir" -G Ninja -DVELTRANO_WARNINGS_AS_ERRORS=ON "$@" </dev/null >/dev/null
    cmake --build "$build_dir" </dev/null
    ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 120 </dev/null
}

echo "== Native build"
run_native_leg build-tests
echo "== Fuzzing (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)"
bash scripts/fuzz.sh

echo "== Consumer test: the installed package, its examples and the .deb"
bash scripts/consumer-test.sh build-tests

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
run_native_leg build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVELTRANO_BUILD_BENCHMARKS=OFF \
    "-DCMAKE_CXX_FLAGS=$sanitizers" "-DCMAKE_C_FLAGS=$sanitizers" \
    "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers" "-DCMAKE_SHARED_LINKER_FLAGS=$sanitizers" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$sanitizers"

echo "== ThreadSanitizer"
threads="-fsanitize=thread -fno-omit-frame-pointer"
run_native_leg build-thread -DCMAKE_BUILD_TYPE=Debug -DVELTRANO_BUILD_BENCHMARKS=OFF \
    "-DCMAKE_CXX_FLAGS=$threads" "-DCMAKE_C_FLAGS=$threads" \
    "-DCMAKE_EXE_LINKER_FLAGS=$threads" "-DCMAKE_SHARED_LINKER_FLAGS=$threads" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$threads"

if [ ${#cross_legs[@]} -eq 0 ]; then
    exit 0
fi

echo "== Windows x64 under Wine"
bash scripts/windows-tests.sh

echo "== arm64 under qemu"
bash scripts/arm64-tests.sh
