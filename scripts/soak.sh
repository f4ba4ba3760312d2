#!/bin/bash
# SPDX-License-Identifier: MIT
# Soak run of receive; not part of the test command. Streams for the
# given time (default 60 s) with a reader thread and a controller thread that
# retunes every 250 ms, then reports the samples delivered, the bytes lost
# (the loss counter, and every jump the stream's own position shows), the
# reorderings (must be 0: the run fails otherwise) and resident memory at the
# start and the end.
#
#   bash scripts/soak.sh [seconds] [usb|sim|fault|several] [seed]
#
# usb (default): Debian's real libhackrf drives the emulated HackRF, which
#   delivers at exactly the programmed 20 Msps; at the same time, in a second
#   process, Debian's real libbladeRF drives the emulated bladeRF x40 at
#   10 Msps with quick retunes (bladerf-soak: gaps inside a read and failed
#   quick retunes must be 0).
# sim: the simulated libhackrf's transfer thread delivers as fast as the
#   device takes the transfers, far beyond any board's rate.
# fault: as usb, and the emulated board is unplugged and replugged at random
#   moments (seeded: the seed is printed, and a given seed repeats a run) while
#   the reader recovers and the controller retunes; reports every call's
#   longest duration, the recoveries, the samples, the reorderings (must be
#   0) and resident memory (must stay flat).
# several: one process, one emulated bus with two HackRF Ones and a bladeRF
#   x40, Debian's real libhackrf and libbladeRF side by side: every board
#   receives at 5 Msps on a reader thread of its own (several-soak), and the
#   bladeRF transmits at the same time (full duplex) from a writer thread.
#   Reports per board the samples, those the board sent, the breaks in its
#   pattern (each must be a counted loss) and its counted losses, for the
#   bladeRF the samples written and those the board took, and resident memory
#   (must stay flat).
set -euo pipefail
cd "$(dirname -- "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
mode=${2:-usb}
seed=${3:-$(( $(date +%s) % 1000000 ))}
fault_seed=()
build=build-tests
cmake -S . -B "$build" -G Ninja -DVELTRANO_WARNINGS_AS_ERRORS=ON </dev/null >/dev/null
cmake --build "$build" --target hackrf-soak bladerf-soak several-soak sim-hackrf sim-usb-hackrf sim-usb-bladerf \
    sim-usb-several </dev/null >/dev/null

case "$mode" in
    usb)
        # The second board in a process of its own, with an empty home and
        # search directory so no configuration file of the machine's applies.
        empty=$(mktemp -d)
        trap 'rm -rf "$empty"' EXIT
        LD_LIBRARY_PATH=$PWD/$build/bin/sim/usb-bladerf HOME=$empty BLADERF_SEARCH_DIR=$empty \
            BROMELT_BLADERF_LIBRARY=/usr/lib/x86_64-linux-gnu/libbladeRF.so.2 \
            "$build/bin/bladerf-soak" "$seconds" >"$empty/bladerf.txt" 2>&1 &
        bladerf=$!
        status=0
        LD_LIBRARY_PATH=$PWD/$build/bin/sim/usb-hackrf BROMELT_HACKRF_LIBRARY=/usr/lib/x86_64-linux-gnu/libhackrf.so.0 \
            "$build/bin/hackrf-soak" "$seconds" 20000000 || status=$?
        wait "$bladerf" || status=$?
        echo "-- bladeRF"
        grep -v '^\[' "$empty/bladerf.txt" || true
        exit "$status"
        ;;
    fault)
        fault_seed=("$seed")
        export LD_LIBRARY_PATH=$PWD/$build/bin/sim/usb-hackrf
        export BROMELT_HACKRF_LIBRARY=/usr/lib/x86_64-linux-gnu/libhackrf.so.0
        ;;
    several)
        empty=$(mktemp -d)
        trap 'rm -rf "$empty"' EXIT
        LD_LIBRARY_PATH=$PWD/$build/bin/sim/usb-several HOME=$empty BLADERF_SEARCH_DIR=$empty \
            BROMELT_HACKRF_LIBRARY=/usr/lib/x86_64-linux-gnu/libhackrf.so.0 \
            BROMELT_BLADERF_LIBRARY=/usr/lib/x86_64-linux-gnu/libbladeRF.so.2 \
            "$build/bin/several-soak" "$seconds" 5000000 2> >(grep -v '^\[' >&2)
        exit
        ;;
    sim)
        script=$(mktemp)
        trap 'rm -f "$script"' EXIT
        printf 'board SOAK\nrx-free-run 262144\n' >"$script"
        export VELTRANO_SIM_HACKRF_SCRIPT=$script
        export BROMELT_HACKRF_LIBRARY=$PWD/$build/bin/sim/sim-hackrf.so
        ;;
    *)
        echo "soak.sh: unknown mode '$mode' (usb, sim, fault or several)" >&2
        exit 2
        ;;
esac
"$build/bin/hackrf-soak" "$seconds" 20000000 "${fault_seed[@]}"
