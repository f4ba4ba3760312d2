#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A GNU Radio flowgraph (GNU Radio's own soapy source block) receiving a
simulated HackRF's radio scene through the veltrano SoapySDR module changes
the LNA's gain while it runs, as an interactive receiver's gain slider does,
and the carrier it hears moves by the change. The stream never stops.

usage: gnuradio_live_gain.py BIN_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where GNU Radio's soapy blocks are not installed.
"""
import os
import sys
import tempfile
import time

import module_client

bin_directory, module_directory = sys.argv[1:3]
work = tempfile.TemporaryDirectory()
RATE = 2e6
OFFSET = 250e3  # the carrier above the centre: a whole bin of BLOCK samples
BLOCK = 4000
script = os.path.join(work.name, "hackrf")
journal = os.path.join(work.name, "journal")
with open(script, "w") as file:
    file.write("board H1\nrx-paced\nscene-carrier %d -50\nscene-noise -90\n" % (100e6 + OFFSET))
module_client.use_module(module_directory, {
    "VELTRANO_SIM_HACKRF_SCRIPT": script,
    "VELTRANO_SIM_HACKRF_JOURNAL": journal,
    "BROMELT_HACKRF_LIBRARY": os.path.join(bin_directory, "sim", "sim-hackrf.so"),
})

module_client.require("numpy")
import numpy
from gnuradio import blocks, gr, soapy


def carrier_dbfs(samples):
    """Power in the carrier's bin, dB relative to full scale."""
    phase = numpy.exp(-2j * numpy.pi * OFFSET / RATE * numpy.arange(len(samples)))
    return 10 * numpy.log10(abs(numpy.sum(samples * phase) / len(samples)) ** 2 + 1e-30)


top = gr.top_block()
source = soapy.source("driver=veltrano,family=hackrf", "fc32", 1, "", "", [""], [""])
source.set_sample_rate(0, RATE)
source.set_frequency(0, 100e6)
source.set_gain(0, "LNA", 8)
source.set_gain(0, "VGA", 12)
sink = blocks.vector_sink_c()
top.connect(source, sink)
top.start()
deadline = time.monotonic() + 20
while len(sink.data()) < RATE / 2 and time.monotonic() < deadline:
    time.sleep(0.05)
changed_at = len(sink.data())
source.set_gain(0, "LNA", 32)
while len(sink.data()) < changed_at + RATE and time.monotonic() < deadline:
    time.sleep(0.05)
top.stop()
top.wait()

samples = numpy.array(sink.data(), dtype=numpy.complex64)
failures = []
if changed_at < BLOCK or len(samples) < changed_at + RATE:
    failures.append("the flowgraph received %d samples, %d before the change" % (len(samples), changed_at))
else:
    before = carrier_dbfs(samples[changed_at - BLOCK:changed_at])
    after = carrier_dbfs(samples[-BLOCK:])
    print("carrier %.2f dBFS at LNA 8 dB, %.2f dBFS at LNA 32 dB" % (before, after))
    if abs(after - before - 24) > 1.5:
        failures.append("the carrier moved by %.2f dB, not 24" % (after - before))
with open(journal) as file:
    lines = file.read().splitlines()
starts = [line for line in lines if line.startswith("hackrf_start_rx") or line.startswith("hackrf_stop_rx")]
if "hackrf_set_lna_gain 32 -> 0" not in lines or len(starts) != 2:
    failures.append("the gain did not reach the running stream alone: %s" % starts)
for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
