# SPDX-License-Identifier: MIT
"""What every GNU Radio client test does before it builds a flowgraph: point
SoapySDR at the build tree's module alone (no module installed on the machine
may answer instead), with the simulated libraries' variables set, and skip
(exit 77) where GNU Radio's soapy blocks are not installed."""
import importlib
import os
import sys


def use_module(module_directory, variables):
    os.environ.update(variables)
    os.environ.update({
        "SOAPY_SDR_PLUGIN_PATH": module_directory,
        "SOAPY_SDR_ROOT": os.path.join(module_directory, "no-installed-modules"),
    })


def require(*modules):
    """Imports GNU Radio's soapy blocks and any further modules named, or exits 77."""
    try:
        for name in ("gnuradio.blocks", "gnuradio.gr", "gnuradio.soapy") + modules:
            importlib.import_module(name)
    except ImportError as missing:
        print("GNU Radio's soapy blocks are not installed:", missing)
        sys.exit(77)
