// SPDX-License-Identifier: MIT
// Lets a program that runs many scenarios in one process (a fuzzer) give the
// simulated libbladeRF a new script: the script is otherwise read only once.
#include "bladerf/library/BladeRfSimulator.h"
#include "common/SimControlExport.h"

// Reads VELTRANO_SIM_BLADERF_SCRIPT again. Not while a device is open: its
// board lives in the script.
VELTRANO_SIM_EXPORT void veltrano_sim_bladerf_reload_script()
{
    veltrano::sim::bladerf::simulator().reloadScript();
}
