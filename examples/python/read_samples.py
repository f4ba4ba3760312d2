#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Lists the boards the veltrano SoapySDR module sees, opens one and reads
complex samples from it.

    read_samples.py [SAMPLES [RATE_HZ [FREQUENCY_HZ]]]

Uses Debian's python3-soapysdr (run it with /usr/bin/python3). Set
SOAPY_FIND to narrow the search, e.g. SOAPY_FIND="driver=veltrano,family=bladerf".
Prints one line per board found, then "read <n> samples" and the mean
magnitude of what was read.
"""
import array
import os
import sys

import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_RX, SOAPY_SDR_TIMEOUT, SOAPY_SDR_OVERFLOW


def main():
    wanted = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    rate = float(sys.argv[2]) if len(sys.argv) > 2 else 2e6
    frequency = float(sys.argv[3]) if len(sys.argv) > 3 else 915e6

    boards = SoapySDR.Device.enumerate(os.environ.get("SOAPY_FIND", "driver=veltrano"))
    for board in boards:
        print("found %s %s (%s)" % (board["family"], board["serial"], board["label"]))
    if not boards:
        print("no board found", file=sys.stderr)
        return 1

    device = SoapySDR.Device(boards[0])
    device.setSampleRate(SOAPY_SDR_RX, 0, rate)
    device.setFrequency(SOAPY_SDR_RX, 0, frequency)
    stream = device.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32)
    chunk = device.getStreamMTU(stream)
    buffer = array.array("f", bytes(8 * chunk))  # interleaved I and Q floats
    device.activateStream(stream)

    received = 0
    magnitude = 0.0
    overflows = 0
    while received < wanted:
        result = device.readStream(stream, [buffer], min(chunk, wanted - received), timeoutUs=1000000)
        if result.ret == SOAPY_SDR_OVERFLOW:
            overflows += 1
            continue
        if result.ret == SOAPY_SDR_TIMEOUT:
            continue
        if result.ret < 0:
            print("stream error %s" % SoapySDR.errToStr(result.ret), file=sys.stderr)
            break
        for k in range(result.ret):
            magnitude += abs(complex(buffer[2 * k], buffer[2 * k + 1]))
        received += result.ret

    device.deactivateStream(stream)
    device.closeStream(stream)
    print("read %d samples, %d overflows, mean magnitude %.4f" % (received, overflows, magnitude / max(received, 1)))
    return 0 if received >= wanted else 1


if __name__ == "__main__":
    sys.exit(main())
