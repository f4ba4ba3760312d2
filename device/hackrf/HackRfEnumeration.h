// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace veltrano {

/// One attached HackRF board.
struct HackRfDeviceSummary {
    /// The serial as libhackrf reports it, or "HACKRF-USB-" and the board's
    /// 1-based list position (at least two digits) when it reports none.
    std::string serial;
};

/// The attached boards in libhackrf's order, asked afresh on every call.
/// Empty when no library is available; opens no board.
std::vector<HackRfDeviceSummary> enumerateHackRfDevices();

} // namespace veltrano
