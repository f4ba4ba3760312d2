// SPDX-License-Identifier: MIT
// The conversions with NEON (Advanced SIMD), which every 64-bit ARM processor
// has: four floats per register. NEON widens integers with sign extension,
// converts exactly between 32-bit integers and floats, and rounds halves away
// from zero in one instruction (FCVTAS), the rounding these conversions want.
#include "device/conversion/ConversionKernels.h"

#include <arm_neon.h>

namespace veltrano::detail {
namespace {

// Unlike x86's MAXPS, NEON's FMAX returns a NaN when either operand is one
// (and FMAXNM does so for signalling NaNs), so NaNs are replaced by -1 before
// clamping: the lower bound, which gives the most negative value the rules
// allow.
float32x4_t clamp(float32x4_t value, float highest)
{
    const float32x4_t lowest = vdupq_n_f32(-1.0F);
    const float32x4_t number = vbslq_f32(vceqq_f32(value, value), value, lowest);
    return vminq_f32(vmaxq_f32(number, lowest), vdupq_n_f32(highest));
}

// |value| <= 127 after clamping and scaling, so the narrowings saturate nothing.
int32x4_t toCs8Lanes(const float* values)
{
    return vcvtaq_s32_f32(vmulq_n_f32(clamp(vld1q_f32(values), 1.0F), 127.0F));
}

// Clamping to 2047/2048 instead of 1 gives 2047 for (2047/2048, 1], exactly
// what rounding and then limiting to 2047 would give, and the scaling by a
// power of two is exact.
int32x4_t toSc16Lanes(const float* values)
{
    return vcvtaq_s32_f32(vmulq_n_f32(clamp(vld1q_f32(values), 2047.0F / 2048.0F), 2048.0F));
}

// Integers up to 2^24 convert to float exactly, and the scales are powers of
// two, so every product is exact: the same bits as the portable loops.
float32x4_t scaled(int32x4_t values, float scale)
{
    return vmulq_n_f32(vcvtq_f32_s32(values), scale);
}

// Each loop converts the whole steps of its input and returns how many
// samples that was; the kernels below hand the rest to the portable loops.
std::size_t cs8ToCf32Steps(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = count / 8 * 8;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 8) {
        const int8x16_t bytes = vld1q_s8(in + 2 * index);
        const int16x8_t low = vmovl_s8(vget_low_s8(bytes));
        const int16x8_t high = vmovl_s8(vget_high_s8(bytes));
        float* target = values + 2 * index;
        vst1q_f32(target, scaled(vmovl_s16(vget_low_s16(low)), 0.0078125F));
        vst1q_f32(target + 4, scaled(vmovl_s16(vget_high_s16(low)), 0.0078125F));
        vst1q_f32(target + 8, scaled(vmovl_s16(vget_low_s16(high)), 0.0078125F));
        vst1q_f32(target + 12, scaled(vmovl_s16(vget_high_s16(high)), 0.0078125F));
    }
    return bulk;
}

std::size_t cf32ToCs8Steps(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = count / 8 * 8;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 8) {
        const float* source = values + 2 * index;
        const int16x8_t low = vcombine_s16(vqmovn_s32(toCs8Lanes(source)), vqmovn_s32(toCs8Lanes(source + 4)));
        const int16x8_t high = vcombine_s16(vqmovn_s32(toCs8Lanes(source + 8)), vqmovn_s32(toCs8Lanes(source + 12)));
        vst1q_s8(out + 2 * index, vcombine_s8(vqmovn_s16(low), vqmovn_s16(high)));
    }
    return bulk;
}

std::size_t sc16ToCf32Steps(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 4) {
        const int16x8_t words = vld1q_s16(in + 2 * index);
        float* target = values + 2 * index;
        vst1q_f32(target, scaled(vmovl_s16(vget_low_s16(words)), 0.00048828125F));
        vst1q_f32(target + 4, scaled(vmovl_s16(vget_high_s16(words)), 0.00048828125F));
    }
    return bulk;
}

std::size_t cf32ToSc16Steps(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 4) {
        const float* source = values + 2 * index;
        vst1q_s16(out + 2 * index, vcombine_s16(vqmovn_s32(toSc16Lanes(source)), vqmovn_s32(toSc16Lanes(source + 4))));
    }
    return bulk;
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = cs8ToCf32Steps(in, out, count);
    scalarConversionKernels.cs8ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToCs8Steps(in, out, count);
    scalarConversionKernels.cf32ToCs8(in + bulk, out + 2 * bulk, count - bulk);
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = sc16ToCf32Steps(in, out, count);
    scalarConversionKernels.sc16ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToSc16Steps(in, out, count);
    scalarConversionKernels.cf32ToSc16(in + bulk, out + 2 * bulk, count - bulk);
}

// Four samples of each channel per step: the structure loads and stores of
// two 32-bit lanes split and join the words as they go.
void splitSc16x2(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    for (std::size_t index = 0; index < bulk; index += 4) {
        const int32x4x2_t words = vld2q_s32(reinterpret_cast<const std::int32_t*>(in + 4 * index));
        vst1q_s16(out0 + 2 * index, vreinterpretq_s16_s32(words.val[0]));
        vst1q_s16(out1 + 2 * index, vreinterpretq_s16_s32(words.val[1]));
    }
    scalarConversionKernels.splitSc16x2(in + 4 * bulk, out0 + 2 * bulk, out1 + 2 * bulk, count - bulk);
}

void joinSc16x2(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    for (std::size_t index = 0; index < bulk; index += 4) {
        const int32x4x2_t words{vreinterpretq_s32_s16(vld1q_s16(in0 + 2 * index)),
                                vreinterpretq_s32_s16(vld1q_s16(in1 + 2 * index))};
        vst2q_s32(reinterpret_cast<std::int32_t*>(out + 4 * index), words);
    }
    scalarConversionKernels.joinSc16x2(in0 + 2 * bulk, in1 + 2 * bulk, out + 4 * bulk, count - bulk);
}

} // namespace

// No streaming set: NEON's non-temporal pair stores are only a hint, and
// whether they pay differs between ARM cores; the cached kernels serve both
// policies.
constinit const ConversionKernels neonConversionKernels{cs8ToCf32,  cf32ToCs8,   sc16ToCf32,
                                                        cf32ToSc16, splitSc16x2, joinSc16x2};

} // namespace veltrano::detail
