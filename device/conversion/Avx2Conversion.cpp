// SPDX-License-Identifier: MIT
// The conversions with AVX2: eight floats per register. Only this file is
// compiled for AVX2, and it is run only where the processor and the operating
// system support it. It uses intrinsics and nothing from the standard
// library's inline code, so no AVX2 copy of a shared inline function can be
// picked by the linker for code that runs on older processors.
#include "device/conversion/ConversionKernels.h"
#include "device/conversion/StreamingStores.h"

#include <immintrin.h>

namespace veltrano::detail {
namespace {

// Rounding v halves away from zero is t + trunc(2(v - t)) with t = trunc(v),
// which equals u - trunc(u / 2) for u = trunc(2v). So the only float
// truncation is of twice the scaled value, exact in single precision.
//
// Only the upper clamp is done on floats. The operands are ordered so that a
// NaN passes it; a NaN, and any value scaled beyond the 32-bit range, then
// truncate to the most negative 32-bit integer, and from there saturating
// packs and the lower limit applied to the integers give the most negative
// code, exactly as clamping at -1 first would.
__m256i twiceScaledTruncated(const float* values, float highest, float twiceScale)
{
    const __m256 clamped = _mm256_min_ps(_mm256_set1_ps(highest), _mm256_loadu_ps(values));
    return _mm256_cvttps_epi32(_mm256_mul_ps(clamped, _mm256_set1_ps(twiceScale)));
}

// u - trunc(u / 2) on 16-bit lanes, i.e. u / 2 rounded halves away from
// zero: with a = u, less one when u is negative, it is floor((a + 1) / 2),
// which the rounding high multiply by 2^14 computes. The subtraction
// saturates, so the most negative value stays negative.
__m256i halveRoundingAway(__m256i twice)
{
    return _mm256_mulhrs_epi16(_mm256_adds_epi16(twice, _mm256_srai_epi16(twice, 15)), _mm256_set1_epi16(0x4000));
}

// Twice the 8-bit value for 8 components, clamped above at 1, times 254.
__m256i twiceCs8(const float* values)
{
    return twiceScaledTruncated(values, 1.0F, 254.0F);
}

// Twice the Q11 value for 8 components. Clamping at 2047/2048 instead of
// 1 gives 2047 for (2047/2048, 1], exactly what rounding and then limiting
// to 2047 would give.
__m256i twiceSc16(const float* values)
{
    return twiceScaledTruncated(values, 2047.0F / 2048.0F, 4096.0F);
}

template <StorePolicy policy>
void store(float* out, __m256 values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm256_stream_ps(out, values);
    } else {
        _mm256_storeu_ps(out, values);
    }
}

template <StorePolicy policy>
void store(void* out, __m256i values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm256_stream_si256(static_cast<__m256i*>(out), values);
    } else {
        _mm256_storeu_si256(static_cast<__m256i*>(out), values);
    }
}

// Each loop converts the whole steps of its input and returns how many
// samples that was; the kernels below hand the rest on.
template <StorePolicy policy>
std::size_t cs8ToCf32Steps(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const __m256 scale = _mm256_set1_ps(0.0078125F);
    const std::size_t bulk = count / 16 * 16;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 16) {
        for (std::size_t part = 0; part < 4; ++part) {
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 2 * index + 8 * part));
            store<policy>(values + 2 * index + 8 * part,
                          _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes)), scale));
        }
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToCs8Steps(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    // The packs work within 128-bit halves; the 32-bit groups come out as
    // lanes 0,4 of the first register, then 1,5 ... and are put back in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i lowestCs8 = _mm256_set1_epi8(-127);
    const std::size_t bulk = count / 16 * 16;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 16) {
        const float* source = values + 2 * index;
        prefetchAhead(source, 2);
        const __m256i low = halveRoundingAway(_mm256_packs_epi32(twiceCs8(source), twiceCs8(source + 8)));
        const __m256i high = halveRoundingAway(_mm256_packs_epi32(twiceCs8(source + 16), twiceCs8(source + 24)));
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(low, high), order);
        store<policy>(out + 2 * index, _mm256_max_epi8(packed, lowestCs8));
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t sc16ToCf32Steps(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const __m256 scale = _mm256_set1_ps(0.00048828125F);
    const std::size_t bulk = count / 8 * 8;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 8) {
        for (std::size_t part = 0; part < 2; ++part) {
            const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * index + 8 * part));
            store<policy>(values + 2 * index + 8 * part,
                          _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(words)), scale));
        }
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToSc16Steps(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    // The pack interleaves 64-bit groups of its two sources; one permute
    // restores their order.
    const __m256i lowestSc16 = _mm256_set1_epi16(-2048);
    const std::size_t bulk = count / 8 * 8;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 8) {
        const float* source = values + 2 * index;
        prefetchAhead(source, 1);
        const __m256i packed = halveRoundingAway(_mm256_packs_epi32(twiceSc16(source), twiceSc16(source + 8)));
        store<policy>(out + 2 * index, _mm256_max_epi16(_mm256_permute4x64_epi64(packed, 0xD8), lowestSc16));
    }
    return bulk;
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = cs8ToCf32Steps<StorePolicy::Cached>(in, out, count);
    sse2ConversionKernels.cs8ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToCs8Steps<StorePolicy::Cached>(in, out, count);
    sse2ConversionKernels.cf32ToCs8(in + bulk, out + 2 * bulk, count - bulk);
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = sc16ToCf32Steps<StorePolicy::Cached>(in, out, count);
    sse2ConversionKernels.sc16ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToSc16Steps<StorePolicy::Cached>(in, out, count);
    sse2ConversionKernels.cf32ToSc16(in + bulk, out + 2 * bulk, count - bulk);
}

// Eight samples of each channel per step: each load's words ordered e e e e
// o o o o, then the even lanes and the odd lanes of the two paired.
void splitSc16x2(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    const __m256i evenThenOdd = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const std::size_t bulk = count / 8 * 8;
    for (std::size_t index = 0; index < bulk; index += 8) {
        const __m256i low = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * index)), evenThenOdd);
        const __m256i high = _mm256_permutevar8x32_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * index + 16)), evenThenOdd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 2 * index), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 2 * index), _mm256_permute2x128_si256(low, high, 0x31));
    }
    sse2ConversionKernels.splitSc16x2(in + 4 * bulk, out0 + 2 * bulk, out1 + 2 * bulk, count - bulk);
}

void joinSc16x2(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = count / 8 * 8;
    for (std::size_t index = 0; index < bulk; index += 8) {
        const __m256i even = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in0 + 2 * index));
        const __m256i odd = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in1 + 2 * index));
        // The unpacks pair within each 128-bit half; the halves then go in order.
        const __m256i low = _mm256_unpacklo_epi32(even, odd);
        const __m256i high = _mm256_unpackhi_epi32(even, odd);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * index), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * index + 16),
                            _mm256_permute2x128_si256(low, high, 0x31));
    }
    sse2ConversionKernels.joinSc16x2(in0 + 2 * bulk, in1 + 2 * bulk, out + 4 * bulk, count - bulk);
}

} // namespace

constinit const ConversionKernels avx2ConversionKernels{cs8ToCf32,  cf32ToCs8,   sc16ToCf32,
                                                        cf32ToSc16, splitSc16x2, joinSc16x2};

constinit const ConversionKernels avx2StreamingConversionKernels{
    convertStreaming<std::int8_t, std::complex<float>, cs8ToCf32Steps<StorePolicy::Streaming>, cs8ToCf32>,
    convertStreaming<std::complex<float>, std::int8_t, cf32ToCs8Steps<StorePolicy::Streaming>, cf32ToCs8>,
    convertStreaming<std::int16_t, std::complex<float>, sc16ToCf32Steps<StorePolicy::Streaming>, sc16ToCf32>,
    convertStreaming<std::complex<float>, std::int16_t, cf32ToSc16Steps<StorePolicy::Streaming>, cf32ToSc16>,
    splitSc16x2,
    joinSc16x2};

} // namespace veltrano::detail
