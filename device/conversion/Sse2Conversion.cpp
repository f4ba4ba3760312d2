// SPDX-License-Identifier: MIT
// The conversions with SSE2, the instruction set every x86-64 processor has:
// four floats per register. SSE2 has no sign extension and no rounding
// instruction, so bytes are widened by unpacking and truncation goes through
// the truncating float-to-integer conversion.
#include "device/conversion/ConversionKernels.h"
#include "device/conversion/StreamingStores.h"

#include <emmintrin.h>

namespace veltrano::detail {
namespace {

// Rounds to the nearest integer, halves away from zero, for |scaled| < 2^30.
// With t = trunc(v), trunc(2v) = 2t + trunc(2(v - t)) because both parts
// share v's sign, so t + trunc(2(v - t)) = trunc(2v) - trunc(v): two exact
// truncations and no library call.
__m128i roundHalfAwayFromZero(__m128 scaled)
{
    return _mm_sub_epi32(_mm_cvttps_epi32(_mm_add_ps(scaled, scaled)), _mm_cvttps_epi32(scaled));
}

// MAXPS returns its second operand when the first is a NaN, so the lower
// clamp also turns a NaN into the most negative value, as the rules want.
__m128 clamp(__m128 value, float lowest, float highest)
{
    return _mm_min_ps(_mm_max_ps(value, _mm_set1_ps(lowest)), _mm_set1_ps(highest));
}

__m128i toCs8Lanes(const float* values)
{
    return roundHalfAwayFromZero(_mm_mul_ps(clamp(_mm_loadu_ps(values), -1.0F, 1.0F), _mm_set1_ps(127.0F)));
}

// Clamping to 2047/2048 instead of 1 gives 2047 for (2047/2048, 1], exactly
// what rounding and then limiting to 2047 would give, and the scaling by a
// power of two is exact.
__m128i toSc16Lanes(const float* values)
{
    return roundHalfAwayFromZero(
        _mm_mul_ps(clamp(_mm_loadu_ps(values), -1.0F, 2047.0F / 2048.0F), _mm_set1_ps(2048.0F)));
}

template <StorePolicy policy>
void store(float* out, __m128 values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm_stream_ps(out, values);
    } else {
        _mm_storeu_ps(out, values);
    }
}

template <StorePolicy policy>
void store(void* out, __m128i values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm_stream_si128(static_cast<__m128i*>(out), values);
    } else {
        _mm_storeu_si128(static_cast<__m128i*>(out), values);
    }
}

// Each loop converts the whole steps of its input and returns how many
// samples that was; the kernels below hand the rest on.
template <StorePolicy policy>
std::size_t cs8ToCf32Steps(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    // Each byte unpacked into the top of a 32-bit lane is value * 2^24, which
    // converts exactly; times 2^-31 that is value / 128.
    const __m128 scale = _mm_set1_ps(0x1p-31F);
    const __m128i zero = _mm_setzero_si128();
    const std::size_t bulk = count / 8 * 8;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 8) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * index));
        const __m128i low = _mm_unpacklo_epi8(zero, bytes);
        const __m128i high = _mm_unpackhi_epi8(zero, bytes);
        float* target = values + 2 * index;
        store<policy>(target, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(zero, low)), scale));
        store<policy>(target + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(zero, low)), scale));
        store<policy>(target + 8, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(zero, high)), scale));
        store<policy>(target + 12, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(zero, high)), scale));
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToCs8Steps(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = count / 8 * 8;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 8) {
        const float* source = values + 2 * index;
        const __m128i low = _mm_packs_epi32(toCs8Lanes(source), toCs8Lanes(source + 4));
        const __m128i high = _mm_packs_epi32(toCs8Lanes(source + 8), toCs8Lanes(source + 12));
        store<policy>(out + 2 * index, _mm_packs_epi16(low, high));
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t sc16ToCf32Steps(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    // As with bytes: value * 2^16 converts exactly, and 2^-27 gives value / 2048.
    const __m128 scale = _mm_set1_ps(0x1p-27F);
    const __m128i zero = _mm_setzero_si128();
    const std::size_t bulk = count / 4 * 4;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 4) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * index));
        float* target = values + 2 * index;
        store<policy>(target, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(zero, words)), scale));
        store<policy>(target + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(zero, words)), scale));
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToSc16Steps(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 4) {
        const float* source = values + 2 * index;
        store<policy>(out + 2 * index, _mm_packs_epi32(toSc16Lanes(source), toSc16Lanes(source + 4)));
    }
    return bulk;
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = cs8ToCf32Steps<StorePolicy::Cached>(in, out, count);
    scalarConversionKernels.cs8ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToCs8Steps<StorePolicy::Cached>(in, out, count);
    scalarConversionKernels.cf32ToCs8(in + bulk, out + 2 * bulk, count - bulk);
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = sc16ToCf32Steps<StorePolicy::Cached>(in, out, count);
    scalarConversionKernels.sc16ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToSc16Steps<StorePolicy::Cached>(in, out, count);
    scalarConversionKernels.cf32ToSc16(in + bulk, out + 2 * bulk, count - bulk);
}

// Four samples of each channel per step: two loads of words e0 o0 e1 o1 …,
// each ordered e e o o, then the even halves and the odd halves paired.
void splitSc16x2(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    for (std::size_t index = 0; index < bulk; index += 4) {
        const __m128i low = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * index)),
                                              _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i high = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * index + 8)),
                                               _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + 2 * index), _mm_unpacklo_epi64(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + 2 * index), _mm_unpackhi_epi64(low, high));
    }
    scalarConversionKernels.splitSc16x2(in + 4 * bulk, out0 + 2 * bulk, out1 + 2 * bulk, count - bulk);
}

void joinSc16x2(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = count / 4 * 4;
    for (std::size_t index = 0; index < bulk; index += 4) {
        const __m128i even = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in0 + 2 * index));
        const __m128i odd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in1 + 2 * index));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * index), _mm_unpacklo_epi32(even, odd));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * index + 8), _mm_unpackhi_epi32(even, odd));
    }
    scalarConversionKernels.joinSc16x2(in0 + 2 * bulk, in1 + 2 * bulk, out + 4 * bulk, count - bulk);
}

} // namespace

constinit const ConversionKernels sse2ConversionKernels{cs8ToCf32,  cf32ToCs8,   sc16ToCf32,
                                                        cf32ToSc16, splitSc16x2, joinSc16x2};

constinit const ConversionKernels sse2StreamingConversionKernels{
    convertStreaming<std::int8_t, std::complex<float>, cs8ToCf32Steps<StorePolicy::Streaming>, cs8ToCf32>,
    convertStreaming<std::complex<float>, std::int8_t, cf32ToCs8Steps<StorePolicy::Streaming>, cf32ToCs8>,
    convertStreaming<std::int16_t, std::complex<float>, sc16ToCf32Steps<StorePolicy::Streaming>, sc16ToCf32>,
    convertStreaming<std::complex<float>, std::int16_t, cf32ToSc16Steps<StorePolicy::Streaming>, cf32ToSc16>,
    splitSc16x2,
    joinSc16x2};

} // namespace veltrano::detail
