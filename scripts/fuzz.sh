#!/bin/bash
# SPDX-License-Identifier: MIT
# Fuzzes the device layer's intakes with clang's libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer: every target runs for the
# given number of seconds (default 30) starting from its seed corpus in
# tests/fuzz/corpus/<target>/. New inputs stay in build-fuzz/corpus/; a
# finding stops the script, its input saved under build-fuzz/findings/.
#
#   bash scripts/fuzz.sh            # 30 s per target (the test command's run)
#   bash scripts/fuzz.sh 1800       # a longer search
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

seconds=${1:-30}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Shared libraries get no sanitizer link flags: clang leaves the runtime to
# the executable, which exports it to the simulators it loads. Warnings are
# enforced by the GCC builds; clang's extra ones do not stop a fuzzing run.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DVELTRANO_BUILD_BENCHMARKS=OFF \
    -DVELTRANO_BUILD_FUZZERS=ON -DVELTRANO_WARNINGS_AS_ERRORS=OFF \
    "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$flags" </dev/null >/dev/null
cmake --build build-fuzz --target veltrano-fuzzers </dev/null

mkdir -p build-fuzz/findings
for corpus in tests/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    mkdir -p "build-fuzz/corpus/$target"
    echo "== fuzz-$target for ${seconds} s"
    log="build-fuzz/fuzz-$target.log"
    if ! build-fuzz/bin/fuzz-"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" \
        "build-fuzz/corpus/$target" "$corpus" </dev/null >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz-$target found a failing input; see build-fuzz/findings/ and $log" >&2
        exit 1
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
