// SPDX-License-Identifier: MIT
#pragma once

// What a simulated HackRF is set to. The client's threads set it through the
// entry points while the device's transfer thread reads it for every transfer,
// so each setting is an atomic of its own.

#include <atomic>

namespace veltrano::sim::hackrf {

struct RadioSettings {
    // The board's sample rate until hackrf_set_sample_rate sets another.
    std::atomic<double> sampleRateHz{10'000'000.0};
};

} // namespace veltrano::sim::hackrf
