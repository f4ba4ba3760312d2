#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs `sdr-probe both` from the given build's bin directory. Its records of
# real boards go to standard output as they are, with its exit status. When it
# found no board at all, this says so on standard error and probes the
# shipped simulated boards once, writing that run to standard error too, each
# line marked "simulated: ", so nothing on standard output ever stands for a
# board that is not there.
#
#   bash scripts/probe-or-simulate.sh BIN_DIRECTORY
set -uo pipefail
bin=${1:?usage: probe-or-simulate.sh BIN_DIRECTORY}

records=$("$bin/sdr-probe" both)
status=$?
if [ -n "$records" ]; then
    printf '%s\n' "$records"
fi
if [ "$status" -ne 0 ] || [ -n "$records" ]; then
    exit "$status"
fi

echo "sdr-probe found no HackRF or bladeRF board. The same probe on two simulated boards prints:" >&2
scripts=$(mktemp -d)
trap 'rm -rf -- "$scripts"' EXIT
printf 'board 0000000000000000088869dc2a5c3a1b\n' >"$scripts/hackrf"
printf 'board serial=9a8b7c product=bladeRF_2.0\n' >"$scripts/bladerf"
BROMELT_HACKRF_LIBRARY="$bin/sim/sim-hackrf.so" \
BROMELT_BLADERF_LIBRARY="$bin/sim/sim-bladerf.so" \
VELTRANO_SIM_HACKRF_SCRIPT="$scripts/hackrf" \
VELTRANO_SIM_BLADERF_SCRIPT="$scripts/bladerf" \
    "$bin/sdr-probe" both 2>&1 | sed 's/^/simulated: /' >&2
echo "(simulated boards: see docs/simulators.md)" >&2
exit "$status"
