#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""SoapyRemote serving the veltrano module over loopback, as users reach a
board on another machine: SoapySDRServer --bind on 127.0.0.1 loads our module
(a simulated bladeRF and a simulated HackRF), and a SoapySDR client in this
process opens driver=remote and
- streams from the bladeRF over TCP and over UDP, in the board's own CS16 and
  in CF32, checking every sample against the simulator's timestamp pattern;
- reads the HackRF's radio scene back to back on a thread of its own while
  another thread changes the LNA's gain, and the carrier it hears moves by
  the change, the stream running on (and prints how long the change took).

The server announces itself through DNS-SD and exits at once without a
daemon, so unless one already runs this starts its own D-Bus system bus and
avahi-daemon, and stops them (and the server) by their process ids.

usage: soapy_remote.py BIN_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where SoapyRemote or avahi is not installed.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

bin_directory, module_directory = sys.argv[1:3]
for program in ("SoapySDRServer", "avahi-daemon", "dbus-daemon"):
    if shutil.which(program) is None:
        print(program, "is not installed")
        sys.exit(77)
try:
    import SoapySDR
except ImportError:
    print("SoapySDR's Python bindings are not installed")
    sys.exit(77)

work = tempfile.TemporaryDirectory()
started = []  # (name, process), stopped in reverse order
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def start(name, arguments, environment=None, ready=None, limit=15.0):
    """Starts a program with its output in a log; waits for `ready` in it."""
    log_path = os.path.join(work.name, name + ".log")
    log = open(log_path, "w")
    process = subprocess.Popen(arguments, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               env=environment)
    started.append((name, process))
    deadline = time.monotonic() + limit
    while ready is not None:
        with open(log_path) as text:
            if ready in text.read():
                break
        if process.poll() is not None or time.monotonic() > deadline:
            with open(log_path) as text:
                raise RuntimeError(name + " did not start:\n" + text.read())
        time.sleep(0.05)
    return process


def stop_all(show_logs):
    for name, process in reversed(started):
        if show_logs:
            with open(os.path.join(work.name, name + ".log")) as text:
                print("---- " + name + "\n" + text.read())
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def pattern_holds(values, count):
    """values (I, Q, ...) carry consecutive timestamps t: I = t mod 4096 - 2048, Q = t / 4096 mod 4096 - 2048."""
    first = (values[0] + 2048) + 4096 * (values[1] + 2048)
    return all(values[2 * k] == (first + k) % 4096 - 2048 and values[2 * k + 1] == (first + k) // 4096 % 4096 - 2048
               for k in range(count))


def read(device, stream_format, count):
    """count samples of one stream, as integers in SC16 Q11 terms."""
    stream = device.setupStream(SoapySDR.SOAPY_SDR_RX, stream_format)
    device.activateStream(stream)
    size = 4 if stream_format == SoapySDR.SOAPY_SDR_CS16 else 8
    chunk = bytearray(size * 4096)
    received = bytearray()
    import numpy
    buffer = numpy.frombuffer(chunk, dtype=numpy.uint8)
    deadline = time.monotonic() + 20
    while len(received) < size * count and time.monotonic() < deadline:
        result = device.readStream(stream, [buffer], 4096, timeoutUs=1_000_000)
        if result.ret > 0:
            received += chunk[:size * result.ret]
        elif result.ret != SoapySDR.SOAPY_SDR_TIMEOUT:
            raise RuntimeError("readStream: %s" % SoapySDR.errToStr(result.ret))
    device.deactivateStream(stream)
    device.closeStream(stream)
    if stream_format == SoapySDR.SOAPY_SDR_CS16:
        return list(struct.unpack("<%dh" % (2 * count), received[:4 * count]))
    return [round(value * 2048) for value in struct.unpack("<%df" % (2 * count), received[:8 * count])]


CENTRE = 100e6
RATE = 2e6
OFFSET = 250e3  # the carrier above the centre: a whole bin of BLOCK samples
BLOCK = 4000
CARRIER_DBFS = -50
hackrf_journal = os.path.join(work.name, "hackrf-journal")
# The stream window SoapyRemote's flow control allows in flight between the
# server and the client, in bytes (the kernel may double a socket buffer).
REMOTE_WINDOW = 512 * 1024


def carrier_dbfs(samples):
    """Power in the carrier's bin, dB relative to full scale."""
    import numpy
    phase = numpy.exp(-2j * numpy.pi * OFFSET / RATE * numpy.arange(len(samples)))
    return 10 * numpy.log10(abs(numpy.sum(samples * phase) / len(samples)) ** 2 + 1e-30)


class BusyReader:
    """A client's receive loop: reads back to back on a thread of its own and
    keeps, for every whole block read, how many samples came before it and
    the carrier's power in it."""

    def __init__(self, device, stream):
        import numpy
        self.blocks = []  # (samples read before the block, carrier dBFS)
        self.lock = threading.Lock()
        self.stopping = False
        self.error = None
        self.thread = threading.Thread(target=self.run, args=(device, stream, numpy.zeros(BLOCK, numpy.complex64)))
        self.thread.start()

    def run(self, device, stream, block):
        read = 0
        while not self.stopping:
            filled = 0
            while filled < BLOCK and not self.stopping:
                result = device.readStream(stream, [block[filled:]], BLOCK - filled, timeoutUs=100_000)
                if result.ret > 0:
                    filled += result.ret
                elif result.ret not in (SoapySDR.SOAPY_SDR_TIMEOUT, SoapySDR.SOAPY_SDR_OVERFLOW):
                    self.error = "readStream: %s" % SoapySDR.errToStr(result.ret)
                    return
            if filled == BLOCK:
                with self.lock:
                    self.blocks.append((read, carrier_dbfs(block)))
                read += BLOCK

    def samples_read(self):
        with self.lock:
            return self.blocks[-1][0] + BLOCK if self.blocks else 0

    def power_after(self, skipped, limit_s=30):
        """The carrier's power in the first whole block that starts once
        `skipped` more samples have come than were read so far."""
        mark = self.samples_read() + skipped
        deadline = time.monotonic() + limit_s  # only against a hung stream: it takes about 1.5 s
        while time.monotonic() < deadline and self.error is None:
            with self.lock:
                later = [power for start, power in self.blocks if start >= mark]
            if later:
                return later[0]
            time.sleep(0.01)
        raise RuntimeError(self.error or "the reader stopped getting samples")

    def stop(self):
        self.stopping = True
        self.thread.join()


def live_gain_change(port):
    device = SoapySDR.Device("driver=remote,remote=tcp://127.0.0.1:%d,remote:driver=veltrano,remote:family=hackrf,"
                             "remote:prot=tcp" % port)
    device.setSampleRate(SoapySDR.SOAPY_SDR_RX, 0, RATE)
    device.setFrequency(SoapySDR.SOAPY_SDR_RX, 0, CENTRE)
    device.setGain(SoapySDR.SOAPY_SDR_RX, 0, "LNA", 8)
    device.setGain(SoapySDR.SOAPY_SDR_RX, 0, "VGA", 12)
    stream = device.setupStream(SoapySDR.SOAPY_SDR_RX, SoapySDR.SOAPY_SDR_CF32, [0],
                                {"remote:window": str(REMOTE_WINDOW)})
    device.activateStream(stream)
    reader = BusyReader(device, stream)
    try:
        # Samples from before the change that may still come after it,
        # however far the reader fell behind: a full ring of the HackRF
        # backend (4 MiB, 2 bytes a sample) and the transfer being filled
        # during the change (131,072 samples), then what SoapyRemote's flow
        # control lets be in flight: twice its window (the kernel doubles a
        # socket buffer) of CS8 (2 bytes a sample, headers not counted).
        stale = 4 * 1024 * 1024 // 2 + 131_072 + 2 * REMOTE_WINDOW // 2
        before = reader.power_after(0)
        check(abs(before - (CARRIER_DBFS + 20)) < 1.5, "the carrier at %.2f dBFS at 20 dB of gain" % before)
        started = time.perf_counter()
        device.setGain(SoapySDR.SOAPY_SDR_RX, 0, "LNA", 24)
        took_ms = 1000 * (time.perf_counter() - started)
        changed_at = reader.samples_read()
        after = reader.power_after(stale)
        with reader.lock:
            first_moved = next((start for start, power in reader.blocks
                                if start >= changed_at and power - before > 8), None)
        check(abs(after - before - 16) < 1.5,
              "LNA 8 -> 24 dB while a reader reads back to back: the carrier moved by %.2f dB" % (after - before))
        print("     the remote setGain took %.1f ms beside the reader; the first block at the new gain started "
              "%s samples after it returned" % (took_ms, first_moved - changed_at if first_moved is not None else "no"))
    finally:
        reader.stop()
    device.deactivateStream(stream)
    device.closeStream(stream)
    with open(hackrf_journal) as file:
        lines = [line for line in file.read().splitlines() if not line.startswith("hackrf_is_streaming")]
    runs = [line for line in lines if line.startswith(("hackrf_start_rx", "hackrf_stop_rx", "hackrf_set_lna_gain"))]
    check(runs[-3:] == ["hackrf_start_rx -> 0", "hackrf_set_lna_gain 24 -> 0", "hackrf_stop_rx -> 0"],
          "the gain reached the running stream, which ran on: %s" % runs[-4:])


try:
    bus_environment = dict(os.environ)
    if subprocess.run(["avahi-daemon", "--check"], stderr=subprocess.DEVNULL).returncode != 0:
        # A system bus of our own, open to every user and name, and an
        # avahi-daemon on it that knows only the loopback interface.
        bus = os.path.join(work.name, "bus")
        with open(os.path.join(work.name, "bus.conf"), "w") as config:
            config.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
                         ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                         "<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>"
                         '<policy context="default"><allow user="*"/><allow own="*"/>'
                         '<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>\n' % bus)
        with open(os.path.join(work.name, "avahi.conf"), "w") as config:
            config.write("[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                         "[publish]\npublish-addresses=no\npublish-hinfo=no\npublish-workstation=no\n")
        start("dbus-daemon", ["dbus-daemon", "--config-file=" + os.path.join(work.name, "bus.conf"), "--nofork",
                              "--nopidfile"])
        deadline = time.monotonic() + 10
        while not os.path.exists(bus) and time.monotonic() < deadline:
            time.sleep(0.05)
        bus_environment["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + bus
        start("avahi-daemon", ["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "--no-proc-title",
                               "-f", os.path.join(work.name, "avahi.conf")], bus_environment,
              ready="Server startup complete")

    script = os.path.join(work.name, "bladerf-script")
    with open(script, "w") as file:
        # Each read of 16384 samples takes 2 ms: about 8 MS/s, like a board.
        file.write("board serial=B1\nrx-pace-us 2000\n")
    hackrf_script = os.path.join(work.name, "hackrf-script")
    with open(hackrf_script, "w") as file:
        file.write("board H1\nrx-paced\nscene-carrier %d %d\nscene-noise -90\n" % (CENTRE + OFFSET, CARRIER_DBFS))
    server_environment = dict(bus_environment)
    server_environment.update({
        "SOAPY_SDR_PLUGIN_PATH": module_directory,
        "BROMELT_BLADERF_LIBRARY": os.path.join(bin_directory, "sim", "sim-bladerf.so"),
        "VELTRANO_SIM_BLADERF_SCRIPT": script,
        "BROMELT_HACKRF_LIBRARY": os.path.join(bin_directory, "sim", "sim-hackrf.so"),
        "VELTRANO_SIM_HACKRF_SCRIPT": hackrf_script,
        "VELTRANO_SIM_HACKRF_JOURNAL": hackrf_journal,
    })
    port = free_port()
    start("SoapySDRServer", ["SoapySDRServer", "--bind=127.0.0.1:%d" % port], server_environment,
          ready="Press Ctrl+C to stop the server")

    count = 100_000
    completed = False
    for protocol in ("tcp", "udp"):
        device = SoapySDR.Device("driver=remote,remote=tcp://127.0.0.1:%d,remote:driver=veltrano,"
                                 "remote:family=bladerf,remote:prot=%s" % (port, protocol))
        for stream_format in (SoapySDR.SOAPY_SDR_CS16, SoapySDR.SOAPY_SDR_CF32):
            values = read(device, stream_format, count)
            check(len(values) == 2 * count and pattern_holds(values, count),
                  "%s %s: %d samples over loopback, the timestamp pattern exactly" % (protocol, stream_format, count))
        del device
    live_gain_change(port)
    completed = True
finally:
    stop_all(show_logs=not completed or bool(failures))

sys.exit(1 if failures else 0)
