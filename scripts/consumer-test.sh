#!/bin/bash
# SPDX-License-Identifier: MIT
# The consumer test: what someone who has only the installed package sees.
# Installs a native build into a temporary prefix, checks that the installed
# headers stand alone (no vendor or operating-system headers), builds
# examples/ against that prefix through the CMake package and through
# pkg-config, runs the installed probe and the examples on the installed
# simulators, runs the documentation's shell sessions against the installed
# package and CubicSDR on its SoapySDR module, then builds the .deb and
# inspects it.
#
#   bash scripts/consumer-test.sh [build directory]    (default: build-tests)
#
# Ends with "consumer test: passed", or "consumer test: FAILED: <why>".
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

build_dir=$(cd -- "${1:-build-tests}" && pwd)
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
trap 'echo "consumer test: FAILED: command at line $LINENO of scripts/consumer-test.sh" >&2' ERR

fail() {
    trap - ERR
    echo "consumer test: FAILED: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null </dev/null
include_dir=$prefix/include/veltrano

echo "-- Installed headers stand alone"
(cd "$include_dir" && find device -name '*.h' | sort) > "$work/headers"
[ -s "$work/headers" ] || fail "no headers installed"
while read -r header; do
    # -H lists every header the compiler opened, the standard library's included.
    printf '#include <%s>\n' "$header" |
        c++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -H -I"$include_dir" -x c++ - \
        2> "$work/opened" ||
        fail "$header does not compile on its own: $(cat "$work/opened")"
    if grep -vF "$include_dir/" "$work/opened" | grep -Ei 'hackrf|bladerf|libusb|windows\.h|dlfcn\.h'; then
        fail "$header pulls in a vendor or platform header"
    fi
done < "$work/headers"

echo "-- Examples build against the installed package"
cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Werror" >/dev/null </dev/null
grep -qx "veltrano_DIR:PATH=$prefix/lib/cmake/veltrano" "$work/examples/CMakeCache.txt" ||
    fail "find_package(veltrano) did not use the installed package"
cmake --build "$work/examples" >/dev/null </dev/null
examples=$work/examples

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046 # pkg-config prints several words on purpose
c++ -std=c++20 -Wall -Wextra -Werror -o "$work/receiver-from-pkg-config" examples/receiver.cpp \
    $(pkg-config --cflags --libs veltrano) </dev/null
simulators=$(pkg-config --variable=simulatordir veltrano)
[ -f "$simulators/sim-hackrf.so" ] && [ -f "$simulators/sim-bladerf.so" ] ||
    fail "pkg-config's simulatordir holds no simulators"

echo "-- The installed probe on the installed simulators"
export BROMELT_HACKRF_LIBRARY=$simulators/sim-hackrf.so
export BROMELT_BLADERF_LIBRARY=$simulators/sim-bladerf.so
export VELTRANO_SIM_HACKRF_SCRIPT=$work/hackrf-script
export VELTRANO_SIM_BLADERF_SCRIPT=$work/bladerf-script
printf 'board 0000000000000000088869dc2a5c3a1b\n' > "$VELTRANO_SIM_HACKRF_SCRIPT"
printf 'board serial=9a8b7c product=bladeRF_2.0\n' > "$VELTRANO_SIM_BLADERF_SCRIPT"
records=$("$prefix/bin/sdr-probe" both </dev/null)
expected=$'HACKRF\t0000000000000000088869dc2a5c3a1b\t0000000000000000088869dc2a5c3a1b\t2e+07\t1e+06\t6e+09\nBLADERF\t9a8b7c\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09'
[ "$records" = "$expected" ] || fail "sdr-probe both printed: $records"

# run_example <expected status> <text stderr must contain, or ""> <example> <arguments...>
run_example() {
    local expected_status=$1 message=$2 status=0
    shift 2
    "$examples/$1" "${@:2}" > "$work/stdout" 2> "$work/stderr" </dev/null || status=$?
    [ "$status" = "$expected_status" ] && { [ -z "$message" ] || grep -qF -- "$message" "$work/stderr"; } ||
        fail "$* exited $status (expected $expected_status with '$message'): $(cat "$work/stderr")"
}

# check_samples <file> <family> <count>: the file holds exactly <count>
# complex floats of the simulator's receive pattern, from its first sample.
# HackRF: each 4-byte word carries its own index, little-endian, read as
# signed bytes / 128. bladeRF: sample t is (t mod 4096 - 2048, t / 4096 mod 4096 - 2048) / 2048.
check_samples() {
    python3 - "$@" <<'PYTHON' || fail "$2 receiver's file is not the simulated pattern"
import struct, sys
path, family, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(path, "rb").read()
if len(data) != 8 * count:
    sys.exit(f"{len(data)} bytes, expected {8 * count}")
values = struct.unpack(f"<{2 * count}f", data)
if family == "hackrf":
    pattern = b"".join(struct.pack("<I", word) for word in range(count // 2))
    expected = [(byte - 256 if byte > 127 else byte) / 128 for byte in pattern]
else:
    expected = [part / 2048 for t in range(count) for part in (t % 4096 - 2048, t // 4096 % 4096 - 2048)]
mismatch = next((index for index, (got, want) in enumerate(zip(values, expected)) if got != want), None)
if mismatch is not None:
    sys.exit(f"value {mismatch} is {values[mismatch]}, expected {expected[mismatch]}")
PYTHON
}

echo "-- Examples stream through the installed simulators"
# Free-running streams, as fast as the examples take them; the transmit side
# keeps no record (it lives in the simulator's process, out of reach here).
printf 'board 0000000000000000088869dc2a5c3a1b\nrx-free-run 262144\ntx-free-run 262144\ntx-record off\n' \
    > "$VELTRANO_SIM_HACKRF_SCRIPT"
run_example 0 "" receiver hackrf 100e6 10e6 1000000 "$work/hackrf.cf32"
grep -qx "received 1000000 samples at 1e+07 Hz" "$work/stdout" || fail "receiver hackrf: $(cat "$work/stdout")"
check_samples "$work/hackrf.cf32" hackrf 1000000
run_example 0 "" receiver bladerf 100e6 10e6 300000 "$work/bladerf.cf32"
check_samples "$work/bladerf.cf32" bladerf 300000

# 2400..2500 MHz in 20 MHz steps: five steps from 2400 MHz, each swept as the
# board does, in two blocks tuned 7.5 and 12.5 MHz above the step, then the
# first step again. The blocks carry the receive pattern, each its own stretch.
run_example 0 "dropped blocks:" sweeper hackrf 2400e6 2500e6 12
python3 - "$work/stdout" <<'PYTHON' || fail "sweeper rows: $(cat "$work/stdout")"
import sys
header, *rows = open(sys.argv[1]).read().splitlines()
assert header == "center_hz,valid_ranges_hz,power_dbfs", header
assert len(rows) == 12, rows
for index, row in enumerate(rows):
    center, ranges, power = row.split(",")
    assert float(center) == 2407.5e6 + 20e6 * (index // 2 % 5) + 5e6 * (index % 2), row
    for valid in ranges.split(";"):
        low, high = map(float, valid.split("-"))
        assert 2400e6 <= low < high <= 2500e6 and abs((low + high) / 2 - float(center)) == 5e6, row
    assert -60.0 < float(power) < 0.0, row
PYTHON

run_example 0 "" transmitter hackrf 433.92e6 2e6 100e3 500000
grep -qx "sent 500000 samples" "$work/stdout" || fail "transmitter hackrf: $(cat "$work/stdout")"
# The bladeRF simulator keeps every sample it accepted: the whole tone, at
# half of full scale (1024 of 2048), starting at phase 0, then the drain's
# silence.
export VELTRANO_SIM_BLADERF_TX_CAPTURE=$work/bladerf-capture
run_example 0 "" transmitter bladerf 433.92e6 2e6 100e3 100000
unset VELTRANO_SIM_BLADERF_TX_CAPTURE
python3 - "$work/bladerf-capture" <<'PYTHON' || fail "the bladeRF simulator did not get the tone"
import math, struct, sys
data = open(sys.argv[1], "rb").read()
assert len(data) > 4 * 100000, len(data)
values = struct.unpack(f"<{len(data) // 2}h", data)
assert values[:2] == (1024, 0), values[:2]
tone = values[:2 * 100000]
for i, q in zip(tone[0::2], tone[1::2]):
    assert abs(math.hypot(i, q) - 1024) < 2, (i, q)
assert not any(values[len(tone):]), "the drain sends silence"
PYTHON
# Five bursts 10 ms apart on the simulated bladeRF's clock, each reported
# sent at the time it was scheduled for.
run_example 0 "" timed-bursts 915e6 2e6 5 0.01
for at in 100000000 110000000 120000000 130000000 140000000; do
    grep -qx "burst at $at ns: sent" "$work/stdout" || fail "timed-bursts: $(cat "$work/stdout")"
done
# Two boards on the simulated trigger line, the first two found: both first
# samples at the tick of the fire, so at one time.
cp "$VELTRANO_SIM_BLADERF_SCRIPT" "$work/bladerf-script.saved"
printf 'board serial=A\nboard serial=B\n' > "$VELTRANO_SIM_BLADERF_SCRIPT"
run_example 0 "" synchronised-start 915e6 2e6
master_ns=$(sed -n 's/^master A: first sample at \([0-9]*\) ns$/\1/p' "$work/stdout")
slave_ns=$(sed -n 's/^slave B: first sample at \([0-9]*\) ns$/\1/p' "$work/stdout")
[ -n "$master_ns" ] && [ "$master_ns" = "$slave_ns" ] && grep -qx "difference: 0 ns" "$work/stdout" ||
    fail "synchronised-start: $(cat "$work/stdout")"
printf 'board serial=A\n' > "$VELTRANO_SIM_BLADERF_SCRIPT"
run_example 1 "two bladeRF boards are needed; 1 found" synchronised-start 915e6 2e6
cp "$work/bladerf-script.saved" "$VELTRANO_SIM_BLADERF_SCRIPT"

echo "-- The shell sessions of the README and docs/, on the installed package"
# Among them the quick start's probe, and the README's C++ example
# (first-board-power) and the sweeper on the simulated HackRF hearing a
# scene. build-examples/ in the pages is where a reader builds the examples; here
# they were built in $examples. The sessions find sdr-probe on the PATH and
# the simulators through pkg-config, as a reader with the .deb does.
PATH=$prefix/bin:$PATH python3 scripts/check-docs.py sessions --replace "build-examples/=$examples/" ||
    fail "a documented session no longer prints what the page says"

echo "-- The README's Python, through the installed SoapySDR module"
# It opens the first board (the simulated HackRF, running free) and prints
# how many of its 4096 samples one read delivered.
module=$(find "$prefix/lib" -name libveltranoSupport.so)
[ -n "$module" ] || fail "the install holds no SoapySDR module"
python3 scripts/check-docs.py extract README.md python > "$work/readme.py"
printf 'board 0000000000000000088869dc2a5c3a1b\nrx-free-run 262144\n' > "$VELTRANO_SIM_HACKRF_SCRIPT"
read_count=$(SOAPY_SDR_PLUGIN_PATH=$(dirname -- "$module") /usr/bin/python3 "$work/readme.py" 2> "$work/stderr" </dev/null) ||
    fail "the README's Python failed: $(cat "$work/stderr")"
[ "$read_count" = 4096 ] || fail "the README's Python printed '$read_count', not 4096"

echo "-- CubicSDR on the installed module and simulators, under Xvfb"
# About 13 s: it runs 10 s on the simulated HackRF. Skipped, with the reason,
# where CubicSDR, Xvfb or xdotool is not installed.
cubicsdr_status=0
/usr/bin/python3 tests/clients/cubicsdr.py "$simulators" "$(dirname -- "$module")" > "$work/cubicsdr" 2>&1 </dev/null ||
    cubicsdr_status=$?
case "$cubicsdr_status" in
    0) tail -n 1 "$work/cubicsdr" | sed 's/^/   /' ;;
    77) echo "   skipped: $(tail -n 1 "$work/cubicsdr")" ;;
    *) fail "CubicSDR: $(cat "$work/cubicsdr")" ;;
esac

echo "-- Examples refuse clearly"
run_example 64 "usage: receiver" receiver
run_example 64 "usage: sweeper" sweeper hackrf
run_example 64 "usage: transmitter" transmitter bladerf 1e9
run_example 64 "usage: timed-bursts" timed-bursts 915e6
run_example 64 "usage: synchronised-start" synchronised-start 915e6
run_example 1 "unknown board family 'airspy'" receiver airspy 100e6 10e6 1000 "$work/x"
run_example 1 "sample count must be a whole number" transmitter hackrf 100e6 10e6 1e3 0.5
: > "$VELTRANO_SIM_HACKRF_SCRIPT"
run_example 1 "receiver: HackRF open failed: HACKRF_ERROR_NOT_FOUND" receiver hackrf 100e6 10e6 1000 "$work/x"
run_example 1 "sweeper: this board (or its library) cannot sweep by itself" sweeper bladerf 2400e6 2500e6 10

echo "-- The .deb"
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/deb" > "$work/cpack.log" 2>&1 </dev/null ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$(echo "$work"/deb/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/contents"
for path in ./usr/bin/sdr-probe ./usr/lib/libveltrano_device.a \
    ./usr/include/veltrano/device/ISdrDevice.h ./usr/lib/cmake/veltrano/veltrano-config.cmake \
    ./usr/lib/cmake/veltrano/veltrano-config-version.cmake \
    "./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/veltrano.pc" \
    ./usr/lib/veltrano/simulators/sim-hackrf.so ./usr/lib/veltrano/simulators/sim-bladerf.so \
    ./usr/share/man/man1/sdr-probe.1.gz ./usr/share/doc/veltrano/README.md \
    ./usr/share/doc/veltrano/docs/simulators.md ./usr/share/doc/veltrano/html/index.html \
    ./usr/share/doc/veltrano/CHANGELOG.md ./usr/share/doc/veltrano/copyright \
    ./usr/share/doc/veltrano/changelog.gz; do
    grep -qx -- "$path" "$work/contents" || fail "the .deb lacks $path"
done
if grep -E 'sim-(hackrf|bladerf)-|dependen|test' "$work/contents"; then
    fail "the .deb carries test-only files"
fi
depends=$(dpkg-deb -f "$deb" Depends)
if grep -Eqi 'hackrf|bladerf|usb' <<<"$depends"; then
    fail "the .deb depends on a vendor library: $depends"
fi
[ "$(dpkg-deb -f "$deb" Recommends)" = "libhackrf0, libbladerf2" ] || fail "the .deb's Recommends"
zcat "$prefix/share/man/man1/sdr-probe.1.gz" | groff -ww -z -man 2> "$work/groff"
[ ! -s "$work/groff" ] || fail "the man page has groff warnings: $(cat "$work/groff")"
grep -qx -- ./usr/share/doc/veltrano/LICENSE "$work/contents" &&
    fail "the .deb carries LICENSE beside its copyright file"
[ -f "$prefix/share/doc/veltrano/LICENSE" ] || fail "the install lacks share/doc/veltrano/LICENSE"

echo "-- The .deb's copyright and changelog"
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
doc=$work/unpacked/usr/share/doc/veltrano
python3 - "$doc/copyright" LICENSE <<'PYTHON' || fail "the copyright file: see above"
import re, sys
text = open(sys.argv[1]).read()
paragraphs = [p for p in text.split("\n\n") if p.strip()]
fields = [dict(re.findall(r"^([A-Za-z-]+):[ ]?(.*)$", p, re.M)) for p in paragraphs]
assert fields[0].get("Format") == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", fields[0]
own = [f for f in fields if f.get("Files") == "*"]
assert own and own[0]["License"] == "MIT" and "The veltrano authors" in own[0]["Copyright"], own
standalone = [p for p in paragraphs if p.startswith("License: MIT\n")]
assert standalone, "no stand-alone MIT licence paragraph"
body = "\n".join("" if line == " ." else line[1:] for line in standalone[0].splitlines()[1:])
licence = open(sys.argv[2]).read()
assert body.strip() in licence and "Permission is hereby granted" in body, "the licence text differs from LICENSE"
PYTHON
version=$(dpkg-deb -f "$deb" Version)
zcat "$doc/changelog.gz" > "$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's version is not the package's ($version)"

echo "-- lintian"
lintian_status=0
lintian --allow-root "$deb" </dev/null > "$work/lintian" 2>&1 || lintian_status=$?
sed 's/^/   /' "$work/lintian"
# Status 1 means tags at the error level; anything above, that lintian failed.
if [ "$lintian_status" -ne 0 ] || grep -q '^E: ' "$work/lintian"; then
    fail "lintian reports errors on the .deb (status $lintian_status)"
fi

echo "consumer test: passed"
