#!/bin/bash
# SPDX-License-Identifier: MIT
# scripts/probe-or-simulate.sh on a machine without boards (the simulated
# libraries with no script list none) and with one: standard output carries
# real records only, and the simulated run appears, marked, only when the probe
# found nothing.
#
#   bash probe-or-simulate-test.sh BIN_DIRECTORY SCRIPT
set -euo pipefail
bin=$1
script=$2
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
export BROMELT_HACKRF_LIBRARY="$bin/sim/sim-hackrf.so" BROMELT_BLADERF_LIBRARY="$bin/sim/sim-bladerf.so"
unset VELTRANO_SIM_HACKRF_SCRIPT VELTRANO_SIM_BLADERF_SCRIPT

fail() { echo "FAIL: $*" >&2; cat "$work/out" "$work/err" >&2; exit 1; }

bash "$script" "$bin" >"$work/out" 2>"$work/err" || fail "status $? without boards"
[ ! -s "$work/out" ] || fail "standard output is not empty without boards"
grep -q '^sdr-probe found no HackRF or bladeRF board' "$work/err" || fail "no notice"
grep -qx $'simulated: HACKRF\t0000000000000000088869dc2a5c3a1b\t0000000000000000088869dc2a5c3a1b\t2e+07\t1e+06\t6e+09' \
    "$work/err" || fail "no simulated HackRF record"
grep -qx $'simulated: BLADERF\t9a8b7c\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09' "$work/err" || fail "no simulated bladeRF record"

printf 'board S1\n' >"$work/hackrf"
VELTRANO_SIM_HACKRF_SCRIPT="$work/hackrf" bash "$script" "$bin" >"$work/out" 2>"$work/err" || fail "status $? with a board"
[ "$(cat "$work/out")" = $'HACKRF\tS1\tS1\t2e+07\t1e+06\t6e+09' ] || fail "the board's record is not all of standard output"
! grep -q simulated "$work/err" || fail "simulated boards shown although a board was found"
echo "ok"
