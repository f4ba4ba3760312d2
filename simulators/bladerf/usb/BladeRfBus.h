// SPDX-License-Identifier: MIT
#pragma once

// What the bladeRFs on one emulated bus share, as boards wired together on a
// bench would: the instant the bus started, from which every board's sample
// counters count (one reference clock and one reset for all, so equal ticks
// at equal rates are the same instant), the trigger line joining their
// expansion headers, and their clock outs, any of which may feed another
// board's clock input. One bus per emulator library, hence per process.

#include "bladerf/model/BladeRfSyncState.h"
#include "common/SampleClock.h"

namespace veltrano::sim::usbbladerf {

struct BladeRfBus {
    SampleClock::Clock::time_point start = SampleClock::Clock::now();
    bladerf::TriggerLine triggerLine;
    bladerf::ClockOutputs clockOutputs;
};

// Started by the first board built on it.
BladeRfBus& bladeRfBus();

} // namespace veltrano::sim::usbbladerf
