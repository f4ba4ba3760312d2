// SPDX-License-Identifier: MIT
#pragma once

// The simulated device behind libbladeRF's opaque struct bladerf: the board it
// was opened on, its two synchronous streams, what each channel is tuned to,
// and the quick-tune records it handed out.

#include "bladerf/BladeRfSimulator.h"
#include "common/SceneSynthesizer.h"
#include "common/SimPacer.h"

#include <libbladeRF.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
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
        // Paced receive: samples the board made while the library's buffers
        // were full are lost; the stream jumps from `at` to `resume`.
        struct Gap {
            bladerf_timestamp at;
            bladerf_timestamp resume;
        };
        std::optional<Gap> gap;
        std::size_t scriptedGapsTaken = 0; // of the script's rx-gap lines
        bladerf_gain gain = 0;

        // Receive with a scene: what the receiver hears at the stream's
        // timestamp (the synthesizer's position), and the retunes scheduled
        // for later timestamps.
        std::unique_ptr<veltrano::sim::SceneSynthesizer> scene;
        bladerf_frequency heardFrequency = 0;
        std::map<bladerf_timestamp, bladerf_frequency> scheduledRetunes;
    };

    bladerf(const veltrano::sim::bladerf::Board& openedBoard, const veltrano::sim::Scene& scene) : board(&openedBoard)
    {
        if (!scene.empty()) {
            rx.scene = std::make_unique<veltrano::sim::SceneSynthesizer>(scene);
        }
    }

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
