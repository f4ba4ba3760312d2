// SPDX-License-Identifier: MIT
#pragma once

#include "device/bladerf/BladeRfSdrDevice.h"

#include <libbladeRF.h>

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace veltrano {

struct BladeRfSdrDevice::NativeHandle {
    // A quick-tune record exactly as libbladeRF filled it; never interpreted.
    struct QuickTuneEntry {
        bladerf_quick_tune quickTune{};
    };

    bladerf* device = nullptr; // null while no board is open
    // Keyed by receive frequency in whole Hz.
    std::unordered_map<std::uint64_t, QuickTuneEntry> quickTunes;
    // Whether a bladeRF1 takes automatic gain, once asked: its library lists
    // the mode on every board but refuses it without an RX DC calibration
    // table, which it offers no call to look for.
    std::optional<bool> bladeRf1AutomaticGain;
};

} // namespace veltrano
