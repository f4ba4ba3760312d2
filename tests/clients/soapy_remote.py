#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""SoapyRemote serving the veltrano module over loopback, as users reach a
board on another machine: SoapySDRServer --bind on 127.0.0.1 loads our module
(simulated bladeRF), and a SoapySDR client in this process opens
driver=remote and streams from it over TCP and over UDP, in the board's own
CS16 and in CF32, checking every sample against the simulator's timestamp
pattern.

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
    """values (I, Q, ...) carry consecutive timestamps t: I = t mod 2048, Q = t / 2048 mod 2048."""
    first = values[0] + 2048 * values[1]
    return all(values[2 * k] == (first + k) % 2048 and values[2 * k + 1] == (first + k) // 2048 % 2048
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
    server_environment = dict(bus_environment)
    server_environment.update({
        "SOAPY_SDR_PLUGIN_PATH": module_directory,
        "BROMELT_BLADERF_LIBRARY": os.path.join(bin_directory, "sim", "sim-bladerf.so"),
        "VELTRANO_SIM_BLADERF_SCRIPT": script,
        "BROMELT_HACKRF_LIBRARY": os.path.join(work.name, "no-hackrf-library"),
    })
    port = free_port()
    start("SoapySDRServer", ["SoapySDRServer", "--bind=127.0.0.1:%d" % port], server_environment,
          ready="Press Ctrl+C to stop the server")

    count = 100_000
    completed = False
    for protocol in ("tcp", "udp"):
        device = SoapySDR.Device("driver=remote,remote=tcp://127.0.0.1:%d,remote:driver=veltrano,remote:prot=%s"
                                 % (port, protocol))
        for stream_format in (SoapySDR.SOAPY_SDR_CS16, SoapySDR.SOAPY_SDR_CF32):
            values = read(device, stream_format, count)
            check(len(values) == 2 * count and pattern_holds(values, count),
                  "%s %s: %d samples over loopback, the timestamp pattern exactly" % (protocol, stream_format, count))
        del device
    completed = True
finally:
    stop_all(show_logs=not completed or bool(failures))

sys.exit(1 if failures else 0)
