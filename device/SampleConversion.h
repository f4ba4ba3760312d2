// SPDX-License-Identifier: MIT
// Sample conversion between the boards' integer I/Q formats and the complex
// float samples clients see. These loops are the only per-sample work of the
// device layer, so they run on every streaming path (callbacks excepted).
//
// count is the number of complex samples; the integer side holds 2 * count
// interleaved values, I first. Results are exact for every input, infinities
// and NaNs included, whichever instruction set runs them. Calls whose output
// is too large for the cache one core can use (its level 2 cache and up to
// 16 MiB of level 3) write with streaming stores, which leave the output in
// memory rather than in the cache.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

namespace veltrano::detail {

// Signed 8-bit I/Q (HackRF) to complex float: value / 128.
void convertCs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count);

// Complex float to signed 8-bit I/Q (HackRF): clamp to -1..1, times 127 in
// single precision, round halves away from zero; NaN becomes -127. The value
// -128 is never produced, so the range stays symmetric.
void convertCf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count);

// SC16 Q11 I/Q (bladeRF) to complex float: value * 2^-11 in single precision.
void convertSc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count);

// Complex float to SC16 Q11 I/Q (bladeRF): below -1 gives -2048, above 1 gives
// 2047, otherwise value * 2048 rounded halves away from zero and limited to
// -2048..2047; NaN becomes -2048.
void convertCf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count);

// Two channels of SC16 Q11 as the bladeRF moves them, I0 Q0 I1 Q1 for each
// sample time; count is the samples of each channel. Split into one buffer
// per channel and joined back, bit for bit.
void splitSc16TwoChannels(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count);
void joinSc16TwoChannels(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count);

// The same with each channel converted as convertSc16ToCf32 and
// convertCf32ToSc16 convert one, with the same results.
void convertSc16TwoChannelsToCf32(const std::int16_t* in, std::complex<float>* out0, std::complex<float>* out1,
                                  std::size_t count);
void convertCf32ToSc16TwoChannels(const std::complex<float>* in0, const std::complex<float>* in1, std::int16_t* out,
                                  std::size_t count);

} // namespace veltrano::detail
