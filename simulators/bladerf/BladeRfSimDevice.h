// SPDX-License-Identifier: MIT
#pragma once

// The simulated device behind libbladeRF's opaque struct bladerf: the board it
// was opened on, its two synchronous streams, what each channel is tuned to,
// and the quick-tune records it handed out.

#include "bladerf/BladeRfSimulator.h"
#include "common/SimPacer.h"

#include <libbladeRF.h>

#include <atomic>
#include <cstdint>
#include <set>

struct bladerf {
    static constexpr std::uint32_t kOpenMagic = 0x53494d42; // "SIMB"

    struct Stream {
        bool configured = false;
        bool enabled = false;
        int layout = 0;
        int format = 0;
        unsigned bufferCount = 0;
        unsigned bufferSize = 0;
        unsigned transferCount = 0;
        unsigned timeoutMs = 0;
        bladerf_timestamp timestamp = 0; // device time of the next sample
        bladerf_frequency frequency = 0; // what the channel is tuned to
        // The channel's sample rate until bladerf_set_sample_rate sets another.
        bladerf_sample_rate sampleRate = 30'720'000;
        veltrano::sim::SamplePacer pacer; // restarted when the channel is enabled
    };

    explicit bladerf(const veltrano::sim::bladerf::Board& openedBoard) : board(&openedBoard) {}

    std::uint32_t magic = kOpenMagic;
    const veltrano::sim::bladerf::Board* board; // owned by the simulator, lives as long as the library
    Stream rx;
    Stream tx;
    // Frequencies whose quick-tune records bladerf_get_quick_tune handed out,
    // per direction (index 0 receive, 1 transmit).
    std::set<bladerf_frequency> quickTunesHandedOut[2];
    // Calls in flight, for the overlap detector. Relaxed: they observe, they
    // must not synchronise the caller's threads.
    std::atomic<int> receiving{0};
    std::atomic<int> retuning{0};
};
