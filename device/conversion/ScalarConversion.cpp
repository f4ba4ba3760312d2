// SPDX-License-Identifier: MIT
// The portable conversions: the reference every wide set must match bit for
// bit, the only set off x86-64, and the tail of every wide loop.
#include "device/conversion/ConversionKernels.h"

#include <cmath>

namespace veltrano::detail {
namespace {

// Rounds halves away from zero with two truncations, which stay exact in
// single precision for every value these conversions produce (|v| <= 2048),
// and, unlike std::round, need no library call per value.
float roundHalfAwayFromZero(float value)
{
    const float whole = std::trunc(value);
    return whole + std::trunc(2.0F * (value - whole));
}

std::int8_t toCs8(float component)
{
    // A NaN would pass the clamp; its rounding to the most negative integer,
    // limited to the symmetric range, gives -127.
    if (std::isnan(component)) {
        return -127;
    }
    const float clamped = component < -1.0F ? -1.0F : (component > 1.0F ? 1.0F : component);
    return static_cast<std::int8_t>(roundHalfAwayFromZero(clamped * 127.0F));
}

std::int16_t toSc16(float component)
{
    if (std::isnan(component) || component < -1.0F) {
        return -2048;
    }
    if (component > 1.0F) {
        return 2047;
    }
    const float rounded = roundHalfAwayFromZero(component * 2048.0F);
    return static_cast<std::int16_t>(rounded > 2047.0F ? 2047.0F : rounded);
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out[index] = {in[2 * index] * 0.0078125F, in[2 * index + 1] * 0.0078125F};
    }
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out[2 * index] = toCs8(in[index].real());
        out[2 * index + 1] = toCs8(in[index].imag());
    }
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out[index] = {in[2 * index] * 0.00048828125F, in[2 * index + 1] * 0.00048828125F};
    }
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out[2 * index] = toSc16(in[index].real());
        out[2 * index + 1] = toSc16(in[index].imag());
    }
}

void splitSc16x2(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out0[2 * index] = in[4 * index];
        out0[2 * index + 1] = in[4 * index + 1];
        out1[2 * index] = in[4 * index + 2];
        out1[2 * index + 1] = in[4 * index + 3];
    }
}

void joinSc16x2(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        out[4 * index] = in0[2 * index];
        out[4 * index + 1] = in0[2 * index + 1];
        out[4 * index + 2] = in1[2 * index];
        out[4 * index + 3] = in1[2 * index + 1];
    }
}

} // namespace

constinit const ConversionKernels scalarConversionKernels{cs8ToCf32,  cf32ToCs8,   sc16ToCf32,
                                                          cf32ToSc16, splitSc16x2, joinSc16x2};

} // namespace veltrano::detail
