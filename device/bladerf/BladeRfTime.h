// SPDX-License-Identifier: MIT
// Conversions between the board's sample counter and nanoseconds, exact in
// 128-bit integers for every whole-Hz rate libbladeRF sets.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace veltrano::detail {

__extension__ using WideInt = __int128;

constexpr WideInt kNanosecondsPerSecond = 1'000'000'000;

// ticks x 10^9 / rate + offset, rounded down to whole nanoseconds; nullopt
// without a rate or beyond what 64 signed bits hold.
inline std::optional<std::int64_t> nanosecondsOfTick(std::uint64_t tick, std::uint64_t rateHz, std::int64_t offsetNs)
{
    if (rateHz == 0) {
        return std::nullopt;
    }
    const WideInt time = WideInt{tick} * kNanosecondsPerSecond / WideInt{rateHz} + offsetNs;
    if (time > std::numeric_limits<std::int64_t>::max() || time < std::numeric_limits<std::int64_t>::min()) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(time);
}

// The first tick at or after timeNs: (timeNs - offset) x rate / 10^9 rounded
// up, which gives back the tick nanosecondsOfTick started from at any rate up
// to 1 GHz. A time before the counter's zero gives 0, which no stream can
// still reach; nullopt without a rate or past the counter's 64 bits.
inline std::optional<std::uint64_t> tickOfNanoseconds(std::int64_t timeNs, std::uint64_t rateHz, std::int64_t offsetNs)
{
    const WideInt sinceZero = WideInt{timeNs} - offsetNs;
    if (rateHz == 0) {
        return std::nullopt;
    }
    if (sinceZero < 0) {
        return 0;
    }
    const WideInt tick = (sinceZero * WideInt{rateHz} + kNanosecondsPerSecond - 1) / kNanosecondsPerSecond;
    if (tick > WideInt{std::numeric_limits<std::uint64_t>::max()}) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(tick);
}

} // namespace veltrano::detail
