// SPDX-License-Identifier: MIT
// Lets a program that runs many scenarios in one process (a fuzzer) give the
// simulated libhackrf a new script: the script is otherwise read only once.
#include "common/SimControlExport.h"
#include "hackrf/library/HackRfSimulator.h"

// Reads VELTRANO_SIM_HACKRF_SCRIPT again; devices already open are unaffected.
VELTRANO_SIM_EXPORT void veltrano_sim_hackrf_reload_script()
{
    veltrano::sim::hackrf::simulator().reloadScript();
}
