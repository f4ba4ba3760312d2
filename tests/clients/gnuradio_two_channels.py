#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A GNU Radio flowgraph receiving both channels of a simulated bladeRF 2.0
through the veltrano SoapySDR module: GNU Radio's soapy source with two
outputs, in fc32 and in the board's native sc16. Channel 0 must carry the
board's pattern, and channel 1 the same samples with I and Q exchanged: the
same instants on both outputs, neither shifted against the other.

usage: gnuradio_two_channels.py BIN_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where GNU Radio's soapy blocks are not installed.
"""
import os
import struct
import sys

import module_client

bin_directory, module_directory = sys.argv[1:3]
work = module_client.use_simulated_bladerf(bin_directory, module_directory, ["board serial=B2"])

module_client.require()
from gnuradio import blocks, gr, soapy

ITEM_BYTES = {"fc32": 8, "sc16": 4}
SAMPLES = 200_000
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def receive_both(item_type):
    """SAMPLES items of each channel, as lists of I and Q values in SC16 Q11."""
    top = gr.top_block()
    source = soapy.source("driver=veltrano,family=bladerf", item_type, 2, "", "", ["", ""], ["", ""])
    source.set_sample_rate(0, 2e6)
    source.set_frequency(0, 915e6)
    paths = []
    for channel in range(2):
        paths.append(os.path.join(work.name, "channel%d" % channel))
        head = blocks.head(ITEM_BYTES[item_type], SAMPLES)
        sink = blocks.file_sink(ITEM_BYTES[item_type], paths[-1])
        top.connect((source, channel), head, sink)
    top.run()
    channels = []
    for path in paths:
        with open(path, "rb") as file:
            data = file.read()
        if item_type == "fc32":
            values = [round(value * 2048) for value in struct.unpack("<%df" % (len(data) // 4), data)]
        else:
            values = list(struct.unpack("<%dh" % (len(data) // 2), data))
        channels.append(values)
    return channels


def first_count(values):
    """The sample count the board's pattern names in the first sample."""
    return (values[0] + 2048) + 4096 * (values[1] + 2048)


def pattern_from(first, count):
    """The board's pattern: I = t mod 4096 - 2048, Q = t / 4096 mod 4096 - 2048."""
    values = []
    for t in range(first, first + count):
        values += [t % 4096 - 2048, t // 4096 % 4096 - 2048]
    return values


def exchanged(values):
    """The values with I and Q exchanged in every sample."""
    swapped = list(values)
    swapped[0::2], swapped[1::2] = values[1::2], values[0::2]
    return swapped


for item_type in ("sc16", "fc32"):
    channel0, channel1 = receive_both(item_type)
    check(len(channel0) == 2 * SAMPLES and len(channel1) == 2 * SAMPLES,
          "bladeRF 2.0 %s: %d samples on each channel" % (item_type, SAMPLES))
    if len(channel0) != 2 * SAMPLES or len(channel1) != 2 * SAMPLES:
        continue
    start = first_count(channel0)
    check(channel0 == pattern_from(start, SAMPLES), "bladeRF 2.0 %s: channel 0 is the pattern exactly" % item_type)
    check(exchanged(channel1) == pattern_from(start, SAMPLES),
          "bladeRF 2.0 %s: channel 1 is the same samples with I and Q exchanged, not shifted" % item_type)

sys.exit(1 if failures else 0)
