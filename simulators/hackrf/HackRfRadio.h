// SPDX-License-Identifier: MIT
#pragma once

// What a simulated HackRF is set to. The client's threads set it through the
// entry points while the device's transfer thread reads it for every transfer,
// so each setting is an atomic of its own.

#include "common/SceneSynthesizer.h"

#include <atomic>
#include <cstdint>

namespace veltrano::sim::hackrf {

// The RF amplifier's nominal gain, added to the LNA's and the VGA's when it is on.
inline constexpr double kAmplifierGainDb = 14.0;

struct RadioSettings {
    // The board's sample rate until hackrf_set_sample_rate sets another.
    std::atomic<double> sampleRateHz{10'000'000.0};
    std::atomic<std::uint64_t> frequencyHz{0};
    std::atomic<std::uint32_t> lnaGainDb{0};
    std::atomic<std::uint32_t> vgaGainDb{0};
    std::atomic<bool> amplifierEnabled{false};
    // The baseband filter in force, 0 until the first rate or filter is set.
    // Like libhackrf, setting the rate sets the filter too.
    std::atomic<std::uint32_t> basebandFilterHz{0};

    // Where the receiver listens now: its centre, rate and the stages' gain
    // in decibels, dB for dB.
    Tuning receiveTuning() const
    {
        return Tuning{static_cast<double>(frequencyHz.load()), sampleRateHz.load(),
                      static_cast<double>(lnaGainDb.load()) + static_cast<double>(vgaGainDb.load()) +
                          (amplifierEnabled.load() ? kAmplifierGainDb : 0.0)};
    }
};

} // namespace veltrano::sim::hackrf
