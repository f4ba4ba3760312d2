#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""CubicSDR on the simulated HackRF through the veltrano SoapySDR module, on a
virtual X display (Xvfb), as a user runs it: its own configuration file
(~/.CubicSDR/config.xml, under a HOME of our own) holds the board's sample
rate, the centre frequency and the settings it wrote back last time; the
board is chosen in CubicSDR's device dialog with the keyboard and started with
a double click (CubicSDR always asks: it remembers a board's settings, not
which board it used); then it runs for 10 s, and is closed as a window
manager closes a window. Checks that it never stopped, started the stream
once at the configured rate and centre, logged no error of the module, and
exited cleanly with the stream stopped.

usage: cubicsdr.py SIMULATOR_DIRECTORY MODULE_DIRECTORY
Exits 77 (skipped) where CubicSDR, Xvfb or xdotool is not installed.
"""
import ctypes
import ctypes.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

simulator_directory, module_directory = sys.argv[1:3]
for program in ("CubicSDR", "Xvfb", "xdotool"):
    if shutil.which(program) is None:
        print(program, "is not installed")
        sys.exit(77)

SERIAL = "0000000000000000088869dc2a5c3a1b"
RATE = 2000000  # one of the module's listed rates; CubicSDR's own default is 2.5 MS/s
CENTRE = 100000000
# How long CubicSDR has to come up, list the board and start its stream, and
# to shut down once closed. It takes about 2 s and 0.5 s on an idle machine;
# the bounds only keep a hung run from hanging the test, so they are wide
# enough for a loaded machine building beside it.
START_LIMIT_S = 60
EXIT_LIMIT_S = 15  # CubicSDR gives each of its threads 3 s to stop, then exits with an error status
RUNNING_S = 10

work = tempfile.TemporaryDirectory()
home = os.path.join(work.name, "home")
os.makedirs(os.path.join(home, ".CubicSDR"))
# What CubicSDR writes for a board after a session (a file it wrote, trimmed):
# the rate the board is started at, and every setting the module lists with
# the value it had, counters included; CubicSDR writes them all back at start.
with open(os.path.join(home, ".CubicSDR", "config.xml"), "w") as config:
    config.write(f"""<?xml version="1.0" ?>
<cubicsdr_config>
    <window><center_freq>{CENTRE}</center_freq></window>
    <devices>
        <device>
            <id>HackRF One {SERIAL}</id>
            <sample_rate>{RATE}</sample_rate>
            <settings>
                <bias_tx>false</bias_tx>
                <last_error></last_error>
                <native_sweep></native_sweep>
                <rx_amplifier>false</rx_amplifier>
                <rx_dropped_bytes>262144</rx_dropped_bytes>
                <sweep_block></sweep_block>
            </settings>
            <gains><gain><id>LNA</id><value>16</value></gain></gains>
        </device>
    </devices>
</cubicsdr_config>
""")
script = os.path.join(work.name, "hackrf-script")
with open(script, "w") as file:
    file.write(f"board {SERIAL}\nrx-paced\nscene-carrier {CENTRE + 250000} -40\nscene-noise -80\n")
journal = os.path.join(work.name, "journal")
environment = dict(os.environ)
environment.update({
    "HOME": home,
    "BROMELT_HACKRF_LIBRARY": os.path.join(simulator_directory, "sim-hackrf.so"),
    "BROMELT_BLADERF_LIBRARY": os.path.join(work.name, "no-bladerf-library"),
    "VELTRANO_SIM_HACKRF_SCRIPT": script,
    "VELTRANO_SIM_HACKRF_JOURNAL": journal,
    "SOAPY_SDR_PLUGIN_PATH": module_directory,
    "SOAPY_SDR_ROOT": os.path.join(work.name, "no-installed-modules"),
})
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def journal_lines():
    with open(journal) as file:
        return [line for line in file.read().splitlines() if not line.startswith("hackrf_is_streaming")]


def window(name):
    """The id of the first window whose title holds name, or None."""
    found = subprocess.run(["xdotool", "search", "--name", name], env=environment, capture_output=True, text=True)
    return found.stdout.split()[0] if found.returncode == 0 and found.stdout.split() else None


def close(window_id):
    """Asks the window to close, as a window manager's close button does (WM_DELETE_WINDOW)."""

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("rest_of_xevent", ctypes.c_long * 12)]

    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(environment["DISPLAY"].encode())
    message = ClientMessage(type=33, window=int(window_id),  # ClientMessage
                            message_type=x11.XInternAtom(display, b"WM_PROTOCOLS", 0), format=32)
    message.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, int(window_id), 0, 0, ctypes.byref(message))
    x11.XCloseDisplay(display)  # flushes


def wait_for(condition, limit_s):
    deadline = time.monotonic() + limit_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


started = time.monotonic()
display_pipe = os.pipe()
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(display_pipe[1]), "-screen", "0", "1280x1024x24", "-nolisten",
                         "tcp"], pass_fds=[display_pipe[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(display_pipe[1])
with os.fdopen(display_pipe[0]) as display_number:
    environment["DISPLAY"] = ":" + display_number.readline().strip()
log_path = os.path.join(work.name, "cubicsdr.log")
cubicsdr = None
try:
    with open(log_path, "w") as log:
        cubicsdr = subprocess.Popen(["CubicSDR"], env=environment, stdout=log, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)

    def stream_started():
        if cubicsdr.poll() is not None:
            return True  # no point waiting
        if any(line.startswith("hackrf_start_rx") for line in journal_lines()):
            return True
        dialog = window("SDR Devices")
        if dialog is not None:
            # In the dialog's device tree, below its rows: focus the tree,
            # select the board (the third row: Devices, Local, the board),
            # and double-click, which starts the selected board. Until the
            # board is listed this selects nothing and starts nothing, so it
            # is repeated until the stream starts.
            subprocess.run(["xdotool", "mousemove", "--window", dialog, "150", "300", "click", "1", "key", "Home",
                            "Down", "Down", "sleep", "0.3", "click", "--repeat", "2", "1", "sleep", "1"],
                           env=environment, stderr=subprocess.DEVNULL)
        return False

    wait_for(lambda: os.path.exists(journal) and stream_started(), START_LIMIT_S)
    lines = journal_lines()
    starts = [index for index, line in enumerate(lines) if line.startswith("hackrf_start_rx")]
    check(starts and lines[starts[0]] == "hackrf_start_rx -> 0" and len(starts) == 1,
          "CubicSDR started the stream once, %.1f s after it was started" % (time.monotonic() - started))
    before = lines[:starts[0]] if starts else []
    check(f"hackrf_set_sample_rate {RATE} -> 0" in before and f"hackrf_set_freq {CENTRE} -> 0" in before,
          "at the rate and centre of its configuration")
    time.sleep(RUNNING_S)
    check(cubicsdr.poll() is None, "CubicSDR still runs %d s later" % RUNNING_S)
    main = window("CubicSDR v")
    if main is not None and cubicsdr.poll() is None:
        close(main)
    try:
        status = cubicsdr.wait(timeout=EXIT_LIMIT_S)
    except subprocess.TimeoutExpired:
        status = "none (killed)"
    check(status == 0, "closed, it exited with status %s" % status)
    lines = journal_lines()
    check(starts and "hackrf_stop_rx -> 0" in lines[starts[0]:], "with the stream stopped")
    with open(log_path) as log:
        errors = [line for line in log.read().splitlines() if "[ERROR]" in line or "terminate called" in line]
    check(not errors, "and the module logged no error: %s" % errors)
finally:
    for process in (cubicsdr, xvfb):
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
    if failures:
        with open(log_path) as log:
            print("---- CubicSDR\n" + log.read())
        if os.path.exists(journal):
            print("---- journal\n" + "\n".join(journal_lines()))
print("CubicSDR case: %.1f s" % (time.monotonic() - started))
sys.exit(1 if failures else 0)
