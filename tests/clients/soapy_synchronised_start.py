#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Two simulated bladeRF 2.0 boards on one trigger line, started in step from
SoapySDR's Python bindings, as a user's script would: one master and one
slave by device argument, both receive streams activated with
SOAPY_SDR_WAIT_TRIGGER, nothing delivered until the master's trigger_fire,
then both first reads stamped with one time.

usage: soapy_synchronised_start.py BIN_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where SoapySDR's Python bindings are not installed.
"""
import sys

import module_client

bin_directory, module_directory = sys.argv[1:3]
work = module_client.use_simulated_bladerf(bin_directory, module_directory, ["board serial=A", "board serial=B"])
try:
    import numpy
    import SoapySDR
except ImportError as missing:
    print("SoapySDR's Python bindings are not installed:", missing)
    sys.exit(77)

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


boards = {}
for serial, role in (("A", "master"), ("B", "slave")):
    device = SoapySDR.Device("driver=veltrano,serial=%s,trigger_role=%s" % (serial, role))
    device.setSampleRate(SoapySDR.SOAPY_SDR_RX, 0, 2e6)
    stream = device.setupStream(SoapySDR.SOAPY_SDR_RX, SoapySDR.SOAPY_SDR_CS16)
    check(device.activateStream(stream, SoapySDR.SOAPY_SDR_WAIT_TRIGGER) == 0, serial + " armed")
    boards[serial] = (device, stream)

buffer = numpy.zeros(2 * 4096, numpy.int16)
# Longer than the device layer's 100 ms read of an armed board: still nothing.
waiting = boards["B"][0].readStream(boards["B"][1], [buffer], 4096, timeoutUs=250000)
check(waiting.ret == SoapySDR.SOAPY_SDR_TIMEOUT, "nothing before the fire (%d)" % waiting.ret)
check(boards["A"][0].readSetting("trigger_state") == "armed", "the master reads back armed")

boards["A"][0].writeSetting("trigger_fire", "true")
times = []
for serial, (device, stream) in boards.items():
    first = device.readStream(stream, [buffer], 4096, timeoutUs=1000000)
    check(first.ret > 0 and first.flags & SoapySDR.SOAPY_SDR_HAS_TIME != 0,
          "%s: a stamped first read (%d, flags %#x)" % (serial, first.ret, first.flags))
    # The simulator's pattern names the tick of each sample: (I + 2048) + 4096 (Q + 2048).
    tick = (int(buffer[0]) + 2048) + 4096 * (int(buffer[1]) + 2048)
    check(tick == first.timeNs // 500 % (1 << 24), "%s: the sample of the stamped tick" % serial)
    check(device.readSetting("trigger_state") == "fired", serial + " reads back fired")
    times.append(first.timeNs)
    print("%s: first sample at %d ns" % (serial, first.timeNs))
check(times[0] == times[1], "one time on both boards")

for device, stream in boards.values():
    device.deactivateStream(stream)
    device.closeStream(stream)
sys.exit(1 if failures else 0)
