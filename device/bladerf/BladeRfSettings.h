// SPDX-License-Identifier: MIT
// The channels this backend drives and the conversions from client values
// (double Hz, dB) to the whole numbers libbladeRF takes, shared by receive,
// retune and transmit.
#pragma once

#include <libbladeRF.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace veltrano::detail {

// Only the first channel of each direction is used.
constexpr bladerf_channel kBladeRfRxChannel = BLADERF_CHANNEL_RX(0);
constexpr bladerf_channel kBladeRfTxChannel = BLADERF_CHANNEL_TX(0);

constexpr double kLargestUint32 = 4294967295.0;

// A sample rate the library's 32-bit rate can hold.
inline bool isUsableSampleRate(double rateHz)
{
    return std::isfinite(rateHz) && rateHz > 0.0 && rateHz <= kLargestUint32;
}

inline bool isUsableFrequency(double frequencyHz)
{
    return std::isfinite(frequencyHz) && frequencyHz > 0.0;
}

// Whole Hz, halves away from zero: what the library is tuned to, and the key
// of the quick-tune cache. Takes a usable frequency; values beyond what a
// signed 64-bit rounding can hold are already whole and are saturated instead
// of handed to llround, whose result would be unspecified.
inline std::uint64_t wholeHz(double frequencyHz)
{
    if (frequencyHz < 9223372036854775807.0) {
        return static_cast<std::uint64_t>(std::llround(frequencyHz));
    }
    return frequencyHz < 18446744073709551615.0 ? static_cast<std::uint64_t>(frequencyHz)
                                                : std::numeric_limits<std::uint64_t>::max();
}

// A usable sample rate in whole samples per second, halves away from zero.
inline std::uint32_t wholeSampleRate(double rateHz)
{
    return static_cast<std::uint32_t>(std::llround(rateHz));
}

// The analogue filter: the requested bandwidth, never wider than the actual
// rate, or three quarters of the rate when none is requested; at least 1 Hz.
inline std::uint32_t filterBandwidth(double requestedHz, std::uint32_t actualRate)
{
    const double rate = static_cast<double>(actualRate);
    const double bandwidth =
        std::isfinite(requestedHz) && requestedHz > 0.0 ? std::min(requestedHz, rate) : rate * 0.75;
    if (bandwidth < 1.0) {
        return 1;
    }
    return bandwidth > kLargestUint32 ? std::numeric_limits<std::uint32_t>::max()
                                      : static_cast<std::uint32_t>(bandwidth);
}

// Whole dB, halves away from zero; no gain at all when it is not finite. An
// absurd gain is held inside int first, so the library refuses a number
// rather than receiving an undefined one.
inline int wholeDb(double gainDb)
{
    if (!std::isfinite(gainDb)) {
        return 0;
    }
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    return static_cast<int>(std::llround(std::clamp(gainDb, lowest, highest)));
}

} // namespace veltrano::detail
