// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace veltrano {

/// One bladeRF board that libbladeRF can see.
struct BladeRfDeviceSummary {
    /// The board's serial, or "BLADERF-USB-" and its 1-based list position when it reports none.
    std::string serial;
    /// The USB product string, or "Nuand bladeRF" when it is empty.
    std::string label;
};

/// The visible boards in libbladeRF's order. Empty when no library is
/// available or the library lists nothing; opens no board.
std::vector<BladeRfDeviceSummary> enumerateBladeRfDevices();

} // namespace veltrano
