# SPDX-License-Identifier: MIT
"""What every GNU Radio client test does before it builds a flowgraph: point
SoapySDR at the build tree's module alone (no module installed on the machine
may answer instead), with the simulated libraries' variables set, and skip
(exit 77) where GNU Radio's soapy blocks are not installed."""
import importlib
import os
import sys
import tempfile


def use_module(module_directory, variables):
    os.environ.update(variables)
    os.environ.update({
        "SOAPY_SDR_PLUGIN_PATH": module_directory,
        "SOAPY_SDR_ROOT": os.path.join(module_directory, "no-installed-modules"),
    })


def use_simulated_bladerf(bin_directory, module_directory, boards):
    """use_module on the simulated libbladeRF with the boards' script lines;
    returns the temporary directory holding the script, kept while it lives."""
    work = tempfile.TemporaryDirectory()
    script = os.path.join(work.name, "BLADERF")
    with open(script, "w") as file:
        file.write("".join(board + "\n" for board in boards))
    use_module(module_directory, {
        "VELTRANO_SIM_BLADERF_SCRIPT": script,
        "BROMELT_BLADERF_LIBRARY": os.path.join(bin_directory, "sim", "sim-bladerf.so"),
    })
    return work


def require(*modules):
    """Imports GNU Radio's soapy blocks and any further modules named, or exits 77."""
    try:
        for name in ("gnuradio.blocks", "gnuradio.gr", "gnuradio.soapy") + modules:
            importlib.import_module(name)
    except ImportError as missing:
        print("GNU Radio's soapy blocks are not installed:", missing)
        sys.exit(77)
