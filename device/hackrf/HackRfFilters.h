// SPDX-License-Identifier: MIT
// The baseband filter widths of the HackRF's transceiver, which libhackrf
// rounds every request to. Private to the backend.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace veltrano::detail {

inline constexpr std::array<std::uint32_t, 16> kHackRfFilterWidthsHz = {
    1'750'000, 2'500'000,  3'500'000,  5'000'000,  5'500'000,  6'000'000,  7'000'000,  8'000'000,
    9'000'000, 10'000'000, 12'000'000, 14'000'000, 15'000'000, 20'000'000, 24'000'000, 28'000'000};

// The narrowest width at or above the request; the widest one for a request
// above it all, the narrowest one for any below it (NaN included).
inline std::uint32_t hackRfFilterAtOrAbove(double requestHz)
{
    const auto found = std::find_if(kHackRfFilterWidthsHz.begin(), kHackRfFilterWidthsHz.end(),
                                    [requestHz](std::uint32_t width) { return !(width < requestHz); });
    return found == kHackRfFilterWidthsHz.end() ? kHackRfFilterWidthsHz.back() : *found;
}

// The filter libhackrf sets by itself every time it sets a sample rate: the
// widest width not above three quarters of the rate (the narrowest one below
// that), which keeps the band's edges, where aliases fold in, out.
inline std::uint32_t hackRfFilterLibraryPicksAt(double sampleRateHz)
{
    const double limitHz = 0.75 * sampleRateHz;
    std::uint32_t chosen = kHackRfFilterWidthsHz.front();
    for (const std::uint32_t width : kHackRfFilterWidthsHz) {
        if (width <= limitHz) {
            chosen = width;
        }
    }
    return chosen;
}

} // namespace veltrano::detail
