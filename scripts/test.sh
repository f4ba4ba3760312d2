#!/bin/bash
# SPDX-License-Identifier: MIT
# Quick start, part two: installs what is missing, checks the documentation's
# links, then builds and runs every test four times over: the native build (followed by a short fuzzing run of
# each libFuzzer target and the consumer test of the installed package built
# from it), the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the native build under ThreadSanitizer, and the
# Windows build under Wine (then its .zip). Stops at the first leg that fails.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

bash scripts/install-dependencies.sh tests windows package

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

echo "== Windows x64 under Wine"
bash scripts/windows-tests.sh
