// SPDX-License-Identifier: MIT
#pragma once

// The samples a bladeRF delivers when nothing else is asked of it: each one
// names the device timestamp t it was made at, as 12-bit SC16 Q11 codes
// centred on zero the way the FPGA's counter pattern gives them:
// I = t mod 4096 - 2048 and Q = (t div 4096) mod 4096 - 2048, so a reader
// can tell any sample's timestamp modulo 2^24 and every loss, repeat or
// reordering shows. The simulated library and the USB-level board both
// deliver it, so the two cannot disagree about a stream.

#include <cstddef>
#include <cstdint>

namespace veltrano::sim::bladerf {

inline constexpr std::uint64_t kPatternPeriod = std::uint64_t{1} << 24;

inline std::int16_t patternQ(std::uint64_t timestamp)
{
    return static_cast<std::int16_t>(static_cast<int>((timestamp / 4096) % 4096) - 2048);
}

// A value no pattern sample has (one past the largest 12-bit code), for
// samples that must not be mistaken for delivered ones.
inline constexpr std::int16_t kNotInPattern = 2048;

// count samples (I, Q interleaved) from device timestamp `first` on.
void fillReceivePattern(std::int16_t* values, std::uint64_t first, std::size_t count);

// A board's channel 1 hears what channel 0 hears with I and Q exchanged, so
// a reader tells the channels apart and sees that neither is shifted.
// In place: count samples of channel 0 become channel 1's.
void exchangeIq(std::int16_t* values, std::size_t count);
// In place: count samples of channel 0 at the front of values become count
// pairs of both channels, interleaved per pair (I0 Q0 I1 Q1) as a
// two-channel stream carries them; values holds 4 * count.
void spreadToTwoChannels(std::int16_t* values, std::size_t count);

} // namespace veltrano::sim::bladerf
