// SPDX-License-Identifier: MIT
// The conversions with AVX-512 (F, BW, DQ, VL): sixteen floats per register.
// Exact rounding takes more instructions than a plain round-to-even
// conversion; the wider registers and a 16-bit fix-up after packing, on half
// as many registers, pay for that.
// Only this file is compiled for AVX-512, it is run only where the processor
// and the operating system support it, and it uses intrinsics and nothing
// from the standard library's inline code (see Avx2Conversion.cpp).
#include "device/conversion/ConversionKernels.h"
#include "device/conversion/StreamingStores.h"

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register, which its own flow analysis then reports as maybe
// uninitialised once inlined here (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

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
__m512i twiceScaledTruncated(const float* values, float highest, float twiceScale)
{
    const __m512 clamped = _mm512_min_ps(_mm512_set1_ps(highest), _mm512_loadu_ps(values));
    return _mm512_cvttps_epi32(_mm512_mul_ps(clamped, _mm512_set1_ps(twiceScale)));
}

// u - trunc(u / 2) on 16-bit lanes, i.e. u / 2 rounded halves away from
// zero: with a = u, less one when u is negative, it is floor((a + 1) / 2),
// which the rounding high multiply by 2^14 computes. The subtraction
// saturates, so the most negative value stays negative.
__m512i halveRoundingAway(__m512i twice)
{
    return _mm512_mulhrs_epi16(_mm512_adds_epi16(twice, _mm512_srai_epi16(twice, 15)), _mm512_set1_epi16(0x4000));
}

// Twice the 8-bit value for 16 components, clamped above at 1, times 254.
__m512i twiceCs8(const float* values)
{
    return twiceScaledTruncated(values, 1.0F, 254.0F);
}

// Twice the Q11 value for 16 components. Clamping at 2047/2048 instead of
// 1 gives 2047 for (2047/2048, 1], exactly what rounding and then limiting
// to 2047 would give.
__m512i twiceSc16(const float* values)
{
    return twiceScaledTruncated(values, 2047.0F / 2048.0F, 4096.0F);
}

template <StorePolicy policy>
void store(float* out, __m512 values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm512_stream_ps(out, values);
    } else {
        _mm512_storeu_ps(out, values);
    }
}

template <StorePolicy policy>
void store(void* out, __m512i values)
{
    if constexpr (policy == StorePolicy::Streaming) {
        _mm512_stream_si512(static_cast<__m512i*>(out), values);
    } else {
        _mm512_storeu_si512(out, values);
    }
}

// 16 components, sign-extended, converted and scaled exactly.
template <StorePolicy policy>
void storeCs8AsFloats(const std::int8_t* in, float* out)
{
    const __m512i values = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    store<policy>(out, _mm512_mul_ps(_mm512_cvtepi32_ps(values), _mm512_set1_ps(0.0078125F)));
}

template <StorePolicy policy>
void storeSc16AsFloats(const std::int16_t* in, float* out)
{
    const __m512i values = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
    store<policy>(out, _mm512_mul_ps(_mm512_cvtepi32_ps(values), _mm512_set1_ps(0.00048828125F)));
}

// Each loop converts the whole steps of its input and returns how many
// samples that was; the kernels below hand the rest on.
template <StorePolicy policy>
std::size_t cs8ToCf32Steps(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = count / 32 * 32;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 32) {
        storeCs8AsFloats<policy>(in + 2 * index, values + 2 * index);
        storeCs8AsFloats<policy>(in + 2 * index + 16, values + 2 * index + 16);
        storeCs8AsFloats<policy>(in + 2 * index + 32, values + 2 * index + 32);
        storeCs8AsFloats<policy>(in + 2 * index + 48, values + 2 * index + 48);
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToCs8Steps(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    // The packs work within 128-bit quarters: 32-bit group q of source s
    // lands at 4q + s and is moved back to 4s + q.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m512i lowestCs8 = _mm512_set1_epi8(-127);
    const std::size_t bulk = count / 32 * 32;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 32) {
        const float* source = values + 2 * index;
        prefetchAhead(source, 4);
        const __m512i low = halveRoundingAway(_mm512_packs_epi32(twiceCs8(source), twiceCs8(source + 16)));
        const __m512i high = halveRoundingAway(_mm512_packs_epi32(twiceCs8(source + 32), twiceCs8(source + 48)));
        const __m512i packed = _mm512_permutexvar_epi32(order, _mm512_packs_epi16(low, high));
        store<policy>(out + 2 * index, _mm512_max_epi8(packed, lowestCs8));
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t sc16ToCf32Steps(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = count / 16 * 16;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 16) {
        storeSc16AsFloats<policy>(in + 2 * index, values + 2 * index);
        storeSc16AsFloats<policy>(in + 2 * index + 16, values + 2 * index + 16);
    }
    return bulk;
}

template <StorePolicy policy>
std::size_t cf32ToSc16Steps(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    // The pack interleaves 64-bit groups of its two sources quarter by
    // quarter; one permute restores their order.
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    const __m512i lowestSc16 = _mm512_set1_epi16(-2048);
    const std::size_t bulk = count / 16 * 16;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 16) {
        const float* source = values + 2 * index;
        prefetchAhead(source, 2);
        const __m512i packed = halveRoundingAway(_mm512_packs_epi32(twiceSc16(source), twiceSc16(source + 16)));
        store<policy>(out + 2 * index, _mm512_max_epi16(_mm512_permutexvar_epi64(order, packed), lowestSc16));
    }
    return bulk;
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = cs8ToCf32Steps<StorePolicy::Cached>(in, out, count);
    avx2ConversionKernels.cs8ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToCs8Steps<StorePolicy::Cached>(in, out, count);
    avx2ConversionKernels.cf32ToCs8(in + bulk, out + 2 * bulk, count - bulk);
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const std::size_t bulk = sc16ToCf32Steps<StorePolicy::Cached>(in, out, count);
    avx2ConversionKernels.sc16ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    const std::size_t bulk = cf32ToSc16Steps<StorePolicy::Cached>(in, out, count);
    avx2ConversionKernels.cf32ToSc16(in + bulk, out + 2 * bulk, count - bulk);
}

// Splitting and joining channels only moves words, which memory bounds well
// before width does: the AVX2 loops serve.
void splitSc16x2(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    avx2ConversionKernels.splitSc16x2(in, out0, out1, count);
}

void joinSc16x2(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    avx2ConversionKernels.joinSc16x2(in0, in1, out, count);
}

} // namespace

constinit const ConversionKernels avx512ConversionKernels{cs8ToCf32,  cf32ToCs8,   sc16ToCf32,
                                                          cf32ToSc16, splitSc16x2, joinSc16x2};

constinit const ConversionKernels avx512StreamingConversionKernels{
    convertStreaming<std::int8_t, std::complex<float>, cs8ToCf32Steps<StorePolicy::Streaming>, cs8ToCf32>,
    convertStreaming<std::complex<float>, std::int8_t, cf32ToCs8Steps<StorePolicy::Streaming>, cf32ToCs8>,
    convertStreaming<std::int16_t, std::complex<float>, sc16ToCf32Steps<StorePolicy::Streaming>, sc16ToCf32>,
    convertStreaming<std::complex<float>, std::int16_t, cf32ToSc16Steps<StorePolicy::Streaming>, cf32ToSc16>,
    splitSc16x2,
    joinSc16x2};

} // namespace veltrano::detail
