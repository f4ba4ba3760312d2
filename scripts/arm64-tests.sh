#!/bin/bash
# SPDX-License-Identifier: MIT
# The arm64 leg: cross-builds everything for 64-bit ARM Linux into
# build-arm64/ and runs the test suite under qemu-aarch64, Debian's arm64
# libhackrf and libbladeRF on the arm64 USB-level emulated boards included;
# then runs the probe on the arm64 simulators and builds and inspects the
# arm64 .deb.
#
#   bash scripts/arm64-tests.sh        (from the repository root)
#   bash scripts/arm64-tests.sh -R PATTERN
#
# Arguments, if any, go to CTest to choose the tests (scripts/repeat-tests.sh
# runs some that way), and only those run: no probe, no .deb.
#
# Needs: bash scripts/install-dependencies.sh arm64 package. Debian's arm64
# libraries are unpacked into build-arm64/sysroot (scripts/arm64-sysroot.sh),
# qemu runs every program with that folder as its root for libraries.
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

build_dir=build-arm64
per_test_timeout=${VELTRANO_TEST_TIMEOUT:-120}
fail() {
    echo "arm64-tests.sh: $*" >&2
    exit 1
}

bash scripts/arm64-sysroot.sh "$build_dir/sysroot"
sysroot=$PWD/$build_dir/sysroot

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    "-DVELTRANO_ARM64_SYSROOT=$sysroot" -DVELTRANO_WARNINGS_AS_ERRORS=ON "${launcher[@]}" </dev/null >/dev/null
cmake --build "$build_dir" </dev/null

if [ $# -gt 0 ]; then
    ctest --test-dir "$build_dir" --output-on-failure --timeout "$per_test_timeout" "$@" </dev/null
    exit
fi
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout "$per_test_timeout" </dev/null

echo "-- The arm64 probe on the arm64 simulators"
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
printf 'board 0000000000000000088869dc2a5c3a1b\n' > "$work/hackrf-script"
printf 'board serial=9a8b7c product=bladeRF_2.0\n' > "$work/bladerf-script"
# probe_both <sdr-probe> <directory of sim-hackrf.so and sim-bladerf.so>
probe_both() {
    local records
    records=$(BROMELT_HACKRF_LIBRARY="$2/sim-hackrf.so" BROMELT_BLADERF_LIBRARY="$2/sim-bladerf.so" \
        VELTRANO_SIM_HACKRF_SCRIPT="$work/hackrf-script" VELTRANO_SIM_BLADERF_SCRIPT="$work/bladerf-script" \
        "$build_dir/run-emulated" "$1" both </dev/null)
    local expected=$'HACKRF\t0000000000000000088869dc2a5c3a1b\t0000000000000000088869dc2a5c3a1b\t2e+07\t1e+06\t6e+09\nBLADERF\t9a8b7c\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09'
    [ "$records" = "$expected" ] || fail "$1 both on the simulators in $2 printed: $records"
}
probe_both "$build_dir/bin/sdr-probe" "$PWD/$build_dir/bin/sim"

echo "-- The arm64 .deb"
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/deb" > "$work/cpack.log" 2>&1 </dev/null ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$(echo "$work"/deb/*_arm64.deb)
[ -f "$deb" ] || fail "cpack made no arm64 package: $(ls "$work/deb")"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "the .deb's Architecture is not arm64"
dpkg-deb -x "$deb" "$work/unpacked"
file_machine=$(od -An -tu2 -j18 -N2 "$work/unpacked/usr/bin/sdr-probe" | tr -d ' ')
[ "$file_machine" = 183 ] || fail "the packaged sdr-probe is not an AArch64 program (ELF machine $file_machine)"
probe_both "$work/unpacked/usr/bin/sdr-probe" "$work/unpacked/usr/lib/veltrano/simulators"
lintian_status=0
lintian --allow-root "$deb" </dev/null > "$work/lintian" 2>&1 || lintian_status=$?
sed 's/^/   /' "$work/lintian"
if [ "$lintian_status" -ne 0 ] || grep -q '^E: ' "$work/lintian"; then
    fail "lintian reports errors on the arm64 .deb (status $lintian_status)"
fi
echo "-- $(basename "$deb"): arm64, runs, lintian clean of errors"
