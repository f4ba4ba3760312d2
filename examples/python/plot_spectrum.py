#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Opens the first board the veltrano SoapySDR module sees, receives at a
frequency and plots the averaged spectrum of what it hears to a PNG file.

    plot_spectrum.py OUTPUT.png [FREQUENCY_HZ [RATE_HZ [GAIN_DB]]]

Defaults: 100 MHz, 2 MS/s, 20 dB. Uses Debian's python3-soapysdr,
python3-numpy and python3-matplotlib (run it with /usr/bin/python3). Set
SOAPY_FIND to narrow the search, e.g. SOAPY_FIND="driver=veltrano,family=bladerf".
The levels are dB relative to full scale: a full-scale tone reads 0 dBFS.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy
import SoapySDR
from SoapySDR import SOAPY_SDR_CF32, SOAPY_SDR_RX

FFT_SIZE = 4096
SPECTRA = 64


def receive(device, count):
    stream = device.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32)
    device.activateStream(stream)
    samples = numpy.zeros(count, numpy.complex64)
    received = 0
    while received < count:
        result = device.readStream(stream, [samples[received:]], count - received, timeoutUs=1000000)
        if result.ret > 0:
            received += result.ret
        elif result.ret != SoapySDR.SOAPY_SDR_TIMEOUT and result.ret != SoapySDR.SOAPY_SDR_OVERFLOW:
            raise RuntimeError("stream error %s" % SoapySDR.errToStr(result.ret))
    device.deactivateStream(stream)
    device.closeStream(stream)
    return samples


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    output = sys.argv[1]
    frequency = float(sys.argv[2]) if len(sys.argv) > 2 else 100e6
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 2e6
    gain = float(sys.argv[4]) if len(sys.argv) > 4 else 20.0

    boards = SoapySDR.Device.enumerate(os.environ.get("SOAPY_FIND", "driver=veltrano"))
    if not boards:
        print("no board found", file=sys.stderr)
        return 1
    board = boards[0]
    device = SoapySDR.Device(board)
    device.setSampleRate(SOAPY_SDR_RX, 0, rate)
    device.setFrequency(SOAPY_SDR_RX, 0, frequency)
    device.setGain(SOAPY_SDR_RX, 0, gain)
    samples = receive(device, FFT_SIZE * SPECTRA).reshape(SPECTRA, FFT_SIZE)

    window = numpy.hanning(FFT_SIZE)
    spectra = numpy.fft.fftshift(numpy.fft.fft(samples * window, axis=1), axes=1)
    power = numpy.mean(numpy.abs(spectra) ** 2, axis=0) / numpy.sum(window) ** 2
    offsets = numpy.fft.fftshift(numpy.fft.fftfreq(FFT_SIZE, 1.0 / rate))

    figure, axes = plt.subplots(figsize=(9, 4), dpi=100)
    axes.plot((frequency + offsets) / 1e6, 10 * numpy.log10(power + 1e-20), linewidth=0.8)
    axes.set_xlabel("Frequency (MHz)")
    axes.set_ylabel("Power (dBFS)")
    axes.set_title("%s %s at %.3f MHz, %.1f MS/s, %.0f dB gain"
                   % (board["family"], board["serial"], frequency / 1e6, rate / 1e6, gain))
    axes.set_ylim(-110, 0)
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(output)
    print("%s: %d samples, peak %.1f dBFS at %.4f MHz"
          % (output, samples.size, 10 * numpy.log10(power.max()), (frequency + offsets[power.argmax()]) / 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
