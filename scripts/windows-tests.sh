#!/bin/bash
# SPDX-License-Identifier: MIT
# The Windows leg: cross-builds everything with mingw-w64 into build-windows/
# and runs the test suite under Wine in a Wine prefix private to that tree.
#
#   bash scripts/windows-tests.sh        (from the repository root)
#   bash scripts/windows-tests.sh -R PATTERN
#
# Arguments, if any, go to CTest to choose the tests (scripts/repeat-tests.sh
# runs some that way), and only those run: no archive is made.
#
# Needs no display and no standard input. A second run with nothing changed
# only re-checks the build and reruns the tests; the prefix is reused.
#
# Where the tests find things:
#   - Every program, tests included, lands in build-windows/bin.
#   - Wine sets ProgramW6432 and ProgramFiles itself to "C:\Program Files",
#     which is "$VELTRANO_WINEPREFIX/drive_c/Program Files" on the Linux side.
#     VELTRANO_WINEPREFIX (the Linux path of the prefix) is in every test's
#     environment through the CTest emulator; tests, being Windows programs,
#     should compute their Windows paths themselves (their own executable
#     directory, %ProgramW6432%) rather than be handed Linux paths.
set -euo pipefail

cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

build_dir=build-windows
per_test_timeout=${VELTRANO_TEST_TIMEOUT:-120}

cmake -S . -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DVELTRANO_WARNINGS_AS_ERRORS=ON </dev/null

# The prefix the toolchain file recorded, so that this script, the emulator
# wrapper and the tests all agree on one directory.
prefix=$(sed -n 's/^VELTRANO_WINEPREFIX:PATH=//p' "$build_dir/CMakeCache.txt")
if [ -z "$prefix" ]; then
    echo "windows-tests.sh: VELTRANO_WINEPREFIX missing from $build_dir/CMakeCache.txt" >&2
    exit 1
fi
mkdir -p -- "$(dirname -- "$prefix")"
prefix=$(cd -- "$(dirname -- "$prefix")" && pwd)/$(basename -- "$prefix")

export WINEPREFIX="$prefix"
export VELTRANO_WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY

# Whatever happens from here on, this prefix's server (and with it every Wine
# process of the prefix) is stopped; other prefixes' servers are left alone.
stop_wine() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap stop_wine EXIT

# Wine starts before the build because test discovery runs the test programs
# at build time. The prefix is created only once; "wineserver -w" waits until
# the first boot has finished writing it.
if [ ! -f "$prefix/system.reg" ]; then
    echo "-- Creating Wine prefix $prefix"
    mkdir -p -- "$prefix"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
fi

# A persistent server, warmed up with one throw-away program: otherwise the
# services Wine launches with its first program inherit the output pipe of
# whoever ran it (ninja, CTest) and keep it open, and the caller waits forever.
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running from an earlier, interrupted run
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

cmake --build "$build_dir" </dev/null

if [ $# -gt 0 ]; then
    ctest --test-dir "$build_dir" --output-on-failure --timeout "$per_test_timeout" "$@" </dev/null
    exit
fi
status=0
ctest --test-dir "$build_dir" --output-on-failure -j2 --no-tests=ignore \
    --timeout "$per_test_timeout" </dev/null || status=$?
[ "$status" -eq 0 ] || exit "$status"

# The Windows archive: exactly the probe, the README and the licence, and the
# probe in it starts on its own, with no DLL beside it.
echo "-- Windows archive"
package_dir=$PWD/$build_dir/package
rm -rf -- "$package_dir"
cpack --config "$build_dir/CPackConfig.cmake" -B "$package_dir" </dev/null >/dev/null
archive=$package_dir/veltrano-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")-win64.zip
listing=$(cmake -E tar tf "$archive" | grep -v '/$' | sort)
top=$(basename "$archive" .zip)
expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/bin/sdr-probe.exe" | sort)
if [ "$listing" != "$expected" ]; then
    echo "windows-tests.sh: the archive holds:" "$listing" >&2
    exit 1
fi
(cd "$package_dir" && cmake -E tar xf "$archive")
probe_status=0
probe_output=$(wine "$package_dir/$top/bin/sdr-probe.exe" both 2>&1 </dev/null) || probe_status=$?
if [ "$probe_status" -ne 0 ]; then
    echo "windows-tests.sh: the archived sdr-probe.exe exited $probe_status: $probe_output" >&2
    exit 1
fi
echo "-- $archive: LICENSE, README.md and bin/sdr-probe.exe, which runs"
