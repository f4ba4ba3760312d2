// SPDX-License-Identifier: MIT
#pragma once

// What the simulated libbladeRF does behind its trigger and reference-clock
// calls, on a device known to be valid. Each returns the library result.

#include "bladerf/library/BladeRfSimDevice.h"

namespace veltrano::sim::bladerf {

int triggerInit(::bladerf& device, bladerf_channel channel, bladerf_trigger_signal signal, bladerf_trigger& trigger);
int triggerArm(::bladerf& device, const bladerf_trigger& trigger, bool arm);
int triggerFire(::bladerf& device, const bladerf_trigger& trigger);
int triggerState(::bladerf& device, const bladerf_trigger& trigger, bool* armed, bool* fired, bool* fireRequested);

// Called by a stream call of the direction (0 receive, 1 transmit) before it
// moves samples: 0 when it may, BLADERF_ERR_TIMEOUT when its armed trigger
// did not fire within timeoutMs (the board's counter ran on meanwhile).
int awaitTrigger(::bladerf& device, int direction, unsigned timeoutMs);

// A closing device leaves the trigger line and takes its clock out away.
void leaveSync(::bladerf& device);

// The bladeRF 2.0's PLL (5 MHz to 300 MHz references) and clock select, and
// the clock out; BLADERF_ERR_UNSUPPORTED on a bladeRF1, as the library's.
inline constexpr bladerf_range kPllReferenceRange{5'000'000, 300'000'000, 1, 1};
int bladeRf2Only(const ::bladerf& device);
int setPllEnable(::bladerf& device, bool enable);
int setPllReference(::bladerf& device, std::uint64_t frequencyHz);
bool pllLocked(::bladerf& device);
int setClockOutput(::bladerf& device, bool enable);
// A bladeRF1's VCTCXO tamer; BLADERF_ERR_UNSUPPORTED on a bladeRF 2.0.
int setTamerMode(::bladerf& device, int mode);

} // namespace veltrano::sim::bladerf
