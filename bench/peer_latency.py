#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Start and retune latency of a SoapySDR module beside a peer module.

Each run opens one board through Debian's real vendor library on the USB-level
emulated board (the libusb stand-in first on LD_LIBRARY_PATH), then times
activateStream to the first sample read, and setFrequency to the first read
that returns after it; the median of the runs is printed. Run once per
module, alternating, with the module's folder in SOAPY_SDR_PLUGIN_PATH:

  LD_LIBRARY_PATH=build/bin/sim/usb-hackrf SOAPY_SDR_PLUGIN_PATH=build/soapy-modules \\
      python3 bench/peer_latency.py driver=veltrano,family=hackrf
  LD_LIBRARY_PATH=build/bin/sim/usb-hackrf SOAPY_SDR_PLUGIN_PATH=<peer module folder> \\
      python3 bench/peer_latency.py driver=hackrf
"""
import statistics
import sys
import time

import numpy
import SoapySDR

RX = SoapySDR.SOAPY_SDR_RX
RUNS = 9


def first_read(device, stream, samples):
    """Seconds until a read returns samples."""
    start = time.perf_counter()
    while device.readStream(stream, [samples], len(samples), timeoutUs=1_000_000).ret <= 0:
        pass
    return time.perf_counter() - start


def main():
    args = sys.argv[1]
    rate = float(sys.argv[2]) if len(sys.argv) > 2 else 10e6
    device = SoapySDR.Device(args)
    device.setSampleRate(RX, 0, rate)
    device.setFrequency(RX, 0, 915e6)
    samples = numpy.zeros(4096, numpy.complex64)
    starts, retunes = [], []
    for run in range(RUNS):
        stream = device.setupStream(RX, SoapySDR.SOAPY_SDR_CF32)
        begin = time.perf_counter()
        device.activateStream(stream)
        starts.append(time.perf_counter() - begin + first_read(device, stream, samples))
        for _ in range(20):
            device.readStream(stream, [samples], len(samples))
        begin = time.perf_counter()
        device.setFrequency(RX, 0, 915e6 + (run + 1) * 1e6)
        retunes.append(time.perf_counter() - begin + first_read(device, stream, samples))
        device.deactivateStream(stream)
        device.closeStream(stream)
    print(f"{args}: activateStream to first sample {statistics.median(starts) * 1e3:.2f} ms, "
          f"setFrequency to first read after it {statistics.median(retunes) * 1e3:.2f} ms "
          f"(medians of {RUNS}, {rate / 1e6:g} MS/s)")


if __name__ == "__main__":
    main()
