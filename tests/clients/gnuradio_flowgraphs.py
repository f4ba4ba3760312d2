#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""GNU Radio flowgraphs, built and run as their users build and run them,
streaming through the veltrano SoapySDR module (GNU Radio's own soapy source
and sink blocks) from and to the simulated boards:

- receive from the HackRF in fc32 and in its native sc8, and from the bladeRF
  in fc32 and in its native sc16, checking every sample against what the
  simulated board sent;
- transmit a known sequence to the bladeRF in sc16 and to the HackRF in sc8,
  checking the simulators' record of what the boards were given, bit for bit;
- receive from and transmit to one bladeRF in one flowgraph (full duplex): the
  receive pattern unbroken, the transmitted sequence bit for bit.

usage: gnuradio_flowgraphs.py BIN_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where GNU Radio's soapy blocks are not installed.
"""
import ctypes
import os
import struct
import sys
import tempfile
import threading

import module_client

bin_directory, module_directory = sys.argv[1:3]
work = tempfile.TemporaryDirectory()
hackrf_library = os.path.join(bin_directory, "sim", "sim-hackrf.so")
capture = os.path.join(work.name, "bladerf-tx")
scripts = {"HACKRF": "board H1\ntx-free-run 65536\n", "BLADERF": "board serial=B1\n"}
for family, script in scripts.items():
    path = os.path.join(work.name, family)
    with open(path, "w") as file:
        file.write(script)
    os.environ["VELTRANO_SIM_" + family + "_SCRIPT"] = path
module_client.use_module(module_directory, {
    "BROMELT_HACKRF_LIBRARY": hackrf_library,
    "BROMELT_BLADERF_LIBRARY": os.path.join(bin_directory, "sim", "sim-bladerf.so"),
    "VELTRANO_SIM_BLADERF_TX_CAPTURE": capture,
})

module_client.require()
from gnuradio import blocks, gr, soapy

# The simulated libhackrf the module loads; loading the same file again gives
# the same library, whose control functions feed and drain its streams.
hackrf = ctypes.CDLL(hackrf_library)
hackrf.veltrano_sim_hackrf_deliver.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
hackrf.veltrano_sim_hackrf_take_sent.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
hackrf.veltrano_sim_hackrf_take_sent.restype = ctypes.c_size_t

ITEM_BYTES = {"fc32": 8, "sc16": 4, "sc8": 2}
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def receive(family, item_type, count, feed=None):
    """count items of item_type from the first board of family, as bytes."""
    path = os.path.join(work.name, "received")
    top = gr.top_block()
    source = soapy.source("driver=veltrano,family=" + family, item_type, 1, "", "", [""], [""])
    source.set_sample_rate(0, 2e6)
    source.set_frequency(0, 915e6)
    head = blocks.head(ITEM_BYTES[item_type], count)
    sink = blocks.file_sink(ITEM_BYTES[item_type], path)
    top.connect(source, head, sink)
    feeder = threading.Thread(target=feed) if feed else None
    top.start()
    if feeder:
        feeder.start()
    top.wait()
    top.stop()
    top.wait()
    if feeder:
        feeder.join()
    sink.close()
    with open(path, "rb") as file:
        return file.read()


def transmit(family, item_type, data, drain=None):
    path = os.path.join(work.name, "to-send")
    with open(path, "wb") as file:
        file.write(data)
    top = gr.top_block()
    source = blocks.file_source(ITEM_BYTES[item_type], path, False)
    sink = soapy.sink("driver=veltrano,family=" + family, item_type, 1, "", "", [""], [""])
    sink.set_sample_rate(0, 2e6)
    sink.set_frequency(0, 915e6)
    top.connect(source, sink)
    top.run()


# HackRF receive: the board sends bytes that name their own positions (byte p
# is byte p % 4 of the little-endian number p / 4), fed transfer by transfer
# into the running stream until the flowgraph has what it wants and stops it.
# A full ring would drop only the newest bytes, never those the flowgraph
# takes first, so the samples it receives are the first ones sent.
SAMPLES = 300_000
TRANSFER = 65536
sent = struct.pack("<%dI" % (SAMPLES // 2), *range(SAMPLES // 2))


def feed_hackrf():
    started = False
    word = 0
    while True:
        transfer = struct.pack("<%dI" % (TRANSFER // 4), *range(word, word + TRANSFER // 4))
        if hackrf.veltrano_sim_hackrf_deliver(transfer, TRANSFER, TRANSFER) == 0:
            started = True
            word += TRANSFER // 4
        elif started:
            return  # the flowgraph stopped the stream


for item_type in ("sc8", "fc32"):
    received = receive("hackrf", item_type, SAMPLES, feed_hackrf)
    if item_type == "fc32":
        values = struct.unpack("<%df" % (2 * SAMPLES), received)
        received = bytes(int(value * 128) & 0xFF for value in values)
    check(received == sent, "HackRF %s: %d samples, the board's bytes exactly" % (item_type, SAMPLES))

# bladeRF receive: each sample names its device timestamp t, I = t mod 4096 - 2048
# and Q = t / 4096 mod 4096 - 2048, in SC16 Q11.
def bladerf_pattern(values):
    """Whether the values are the board's pattern from their first sample on."""
    first = (values[0] + 2048) + 4096 * (values[1] + 2048)
    expected = []
    for t in range(first, first + len(values) // 2):
        expected += [t % 4096 - 2048, t // 4096 % 4096 - 2048]
    return values == expected


for item_type in ("sc16", "fc32"):
    received = receive("bladerf", item_type, SAMPLES)
    if item_type == "fc32":
        values = [round(value * 2048) for value in struct.unpack("<%df" % (2 * SAMPLES), received)]
    else:
        values = list(struct.unpack("<%dh" % (2 * SAMPLES), received))
    check(bladerf_pattern(values), "bladeRF %s: %d samples, the timestamp pattern exactly" % (item_type, SAMPLES))

# bladeRF transmit in sc16: every 16-bit value reaches the library as it is.
values = [(k * 7919 + 12345) % 65536 - 32768 for k in range(2 * 131072)]
data = struct.pack("<%dh" % len(values), *values)
transmit("bladerf", "sc16", data)
with open(capture, "rb") as file:
    captured = file.read()
check(captured == data, "bladeRF sc16 transmit: %d values in the capture exactly" % len(values))

# bladeRF full duplex: a soapy source and a soapy sink on the same board in
# one flowgraph, each direction streaming beside the other.
os.remove(capture)
duplex_values = [(k * 104729 + 7) % 4095 - 2047 for k in range(2 * 100_003)]
duplex_data = struct.pack("<%dh" % len(duplex_values), *duplex_values)
sequence_path = os.path.join(work.name, "duplex-send")
received_path = os.path.join(work.name, "duplex-received")
with open(sequence_path, "wb") as file:
    file.write(duplex_data)
top = gr.top_block()
source = soapy.source("driver=veltrano,family=bladerf", "sc16", 1, "", "", [""], [""])
sink = soapy.sink("driver=veltrano,family=bladerf", "sc16", 1, "", "", [""], [""])
for block in (source, sink):
    block.set_sample_rate(0, 2e6)
    block.set_frequency(0, 915e6)
received_file = blocks.file_sink(4, received_path)
top.connect(source, blocks.head(4, SAMPLES), received_file)
top.connect(blocks.file_source(4, sequence_path, False), sink)
top.run()
received_file.close()
with open(received_path, "rb") as file:
    values = list(struct.unpack("<%dh" % (2 * SAMPLES), file.read()))
check(bladerf_pattern(values), "bladeRF full duplex: %d samples received, the pattern exactly" % SAMPLES)
with open(capture, "rb") as file:
    check(file.read() == duplex_data, "bladeRF full duplex: %d values transmitted exactly" % len(duplex_values))

# HackRF transmit in sc8: the free-running simulated board sends silence (zero
# bytes) whenever the ring runs dry, so the sequence holds no zero byte and the
# silence is taken out of the record. More than a ring's worth of silence
# follows it, so the sequence has left the ring when the flowgraph stops.
sequence = bytes(k % 255 + 1 for k in range(2 * 200_000))
recorded = bytearray()
stop_draining = threading.Event()


def drain_hackrf():
    chunk = ctypes.create_string_buffer(1 << 20)
    while True:
        taken = hackrf.veltrano_sim_hackrf_take_sent(chunk, len(chunk))
        recorded.extend(byte for byte in chunk.raw[:taken] if byte != 0)
        if taken == 0:
            if stop_draining.is_set():
                return
            stop_draining.wait(0.01)


drainer = threading.Thread(target=drain_hackrf)
drainer.start()
transmit("hackrf", "sc8", sequence + bytes(5 * 1024 * 1024))
stop_draining.set()
drainer.join()
check(bytes(recorded) == sequence, "HackRF sc8 transmit: %d bytes in the board's record exactly" % len(sequence))

sys.exit(1 if failures else 0)
