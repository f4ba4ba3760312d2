// The conversions with AVX-512 (F, BW, DQ, VL): sixteen floats per register.
// The exact float-to-integer rounding costs about twice the instructions of
// a plain round-to-even conversion, and the wider registers pay for that.
// Only this file is compiled for AVX-512, it is run only where the processor
// and the operating system support it, and it uses intrinsics and nothing
// from the standard library's inline code (see Avx2Conversion.cpp).
#include "device/conversion/ConversionKernels.h"

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register, which its own flow analysis then reports as maybe
// uninitialised once inlined here (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

namespace veltrano::detail {
namespace {

float* floatsOf(std::complex<float>* samples)
{
    return reinterpret_cast<float*>(samples);
}

const float* floatsOf(const std::complex<float>* samples)
{
    return reinterpret_cast<const float*>(samples);
}

// Halves away from zero as trunc(2v) - trunc(v), which equals
// t + trunc(2(v - t)) with t = trunc(v); exact for |scaled| < 2^30.
__m512i roundHalfAwayFromZero(__m512 scaled)
{
    return _mm512_sub_epi32(_mm512_cvttps_epi32(_mm512_add_ps(scaled, scaled)), _mm512_cvttps_epi32(scaled));
}

// VMAXPS returns its second operand when the first is a NaN: the lower clamp
// turns a NaN into the most negative value.
__m512 clamp(__m512 value, float lowest, float highest)
{
    return _mm512_min_ps(_mm512_max_ps(value, _mm512_set1_ps(lowest)), _mm512_set1_ps(highest));
}

__m512i toCs8Lanes(const float* values)
{
    return roundHalfAwayFromZero(_mm512_mul_ps(clamp(_mm512_loadu_ps(values), -1.0F, 1.0F), _mm512_set1_ps(127.0F)));
}

// 2047/2048 as the upper clamp gives the 2047 that rounding and limiting give.
__m512i toSc16Lanes(const float* values)
{
    return roundHalfAwayFromZero(
        _mm512_mul_ps(clamp(_mm512_loadu_ps(values), -1.0F, 2047.0F / 2048.0F), _mm512_set1_ps(2048.0F)));
}

void cs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    const __m512 scale = _mm512_set1_ps(0.0078125F);
    const std::size_t bulk = count / 32 * 32;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 32) {
        for (std::size_t part = 0; part < 4; ++part) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * index + 16 * part));
            _mm512_storeu_ps(values + 2 * index + 16 * part,
                             _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(bytes)), scale));
        }
    }
    avx2ConversionKernels.cs8ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    // The packs work within 128-bit quarters: 32-bit group q of source s
    // lands at 4q + s and is moved back to 4s + q.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const std::size_t bulk = count / 32 * 32;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 32) {
        const float* source = values + 2 * index;
        const __m512i low = _mm512_packs_epi32(toCs8Lanes(source), toCs8Lanes(source + 16));
        const __m512i high = _mm512_packs_epi32(toCs8Lanes(source + 32), toCs8Lanes(source + 48));
        _mm512_storeu_si512(out + 2 * index, _mm512_permutexvar_epi32(order, _mm512_packs_epi16(low, high)));
    }
    avx2ConversionKernels.cf32ToCs8(in + bulk, out + 2 * bulk, count - bulk);
}

void sc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    const __m512 scale = _mm512_set1_ps(0.00048828125F);
    const std::size_t bulk = count / 16 * 16;
    float* values = floatsOf(out);
    for (std::size_t index = 0; index < bulk; index += 16) {
        for (std::size_t part = 0; part < 2; ++part) {
            const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * index + 16 * part));
            _mm512_storeu_ps(values + 2 * index + 16 * part,
                             _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(words)), scale));
        }
    }
    avx2ConversionKernels.sc16ToCf32(in + 2 * bulk, out + bulk, count - bulk);
}

void cf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    // The pack interleaves 64-bit groups of its two sources quarter by
    // quarter; one permute restores their order.
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    const std::size_t bulk = count / 16 * 16;
    const float* values = floatsOf(in);
    for (std::size_t index = 0; index < bulk; index += 16) {
        const float* source = values + 2 * index;
        const __m512i packed = _mm512_packs_epi32(toSc16Lanes(source), toSc16Lanes(source + 16));
        _mm512_storeu_si512(out + 2 * index, _mm512_permutexvar_epi64(order, packed));
    }
    avx2ConversionKernels.cf32ToSc16(in + bulk, out + 2 * bulk, count - bulk);
}

} // namespace

constinit const ConversionKernels avx512ConversionKernels{cs8ToCf32, cf32ToCs8, sc16ToCf32, cf32ToSc16};

} // namespace veltrano::detail
