// SPDX-License-Identifier: MIT
// The loops behind device/SampleConversion.h: one complete set per
// instruction set, and the choice among them. Internal to the device layer;
// tests use it to run every set the machine has, whichever one is chosen.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

namespace veltrano::detail {

enum class InstructionSet { Scalar, Sse2, Avx2, Avx512, Neon };

// The four conversions and the two-channel split and join, all built for one
// instruction set. Each one is exact on its own: a wide set hands the
// samples that do not fill a whole step to the next narrower set, down to the
// portable scalar loops.
struct ConversionKernels {
    void (*cs8ToCf32)(const std::int8_t* in, std::complex<float>* out, std::size_t count);
    void (*cf32ToCs8)(const std::complex<float>* in, std::int8_t* out, std::size_t count);
    void (*sc16ToCf32)(const std::int16_t* in, std::complex<float>* out, std::size_t count);
    void (*cf32ToSc16)(const std::complex<float>* in, std::int16_t* out, std::size_t count);
    // Two channels' SC16 samples as the board moves them, I0 Q0 I1 Q1 for
    // each sample time, into one buffer per channel and back: each sample is
    // one 32-bit word, and the channels take the even and the odd words.
    void (*splitSc16x2)(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count);
    void (*joinSc16x2)(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count);
};

// How the wide loops write their output. Ordinary stores leave it in the
// cache for whoever reads it next, but first read every output cache line
// they miss. Streaming (non-temporal) stores skip that read, a quarter to
// nearly half of the memory traffic once the output does not fit in the
// cache anyway, and leave nothing in it. Only the wide sets have them.
enum class StorePolicy { Cached, Streaming };

// The kernels of one instruction set, or null when this build has none for
// it or the processor and operating system cannot run them.
const ConversionKernels* conversionKernels(InstructionSet set, StorePolicy policy = StorePolicy::Cached);

// The set behind the public conversion functions: the widest one that runs
// here, chosen on the first conversion and kept for the life of the process.
// Its streaming kernels (when it has them) run the calls whose output takes
// streamingStoreThreshold() bytes or more: the cache one core can use (see
// StreamingThreshold.h). (Without streaming kernels both policies give the
// cached ones.)
InstructionSet activeInstructionSet();
const ConversionKernels& activeConversionKernels(StorePolicy policy = StorePolicy::Cached);
std::size_t streamingStoreThreshold();
StorePolicy storePolicyFor(std::size_t outputBytes);

// "scalar", "sse2", "avx2", "avx512" or "neon".
const char* instructionSetName(InstructionSet set);

// Whether the processor has the instructions and the operating system saves
// the registers they use (for AVX and AVX-512, the XCR0 state bits).
bool processorRuns(InstructionSet set);

// The processor's level 2 and last-level cache sizes in bytes, as it reports
// them (a hypervisor may report the host's); 0 when it does not say.
std::size_t level2CacheBytes();
std::size_t lastLevelCacheBytes();

// Complex samples as the interleaved floats they are. Static on purpose:
// every kernel file is compiled for its own instruction set, and a single
// shared inline copy, chosen by the linker, would run on every processor.
static inline float* floatsOf(std::complex<float>* samples)
{
    return reinterpret_cast<float*>(samples);
}

static inline const float* floatsOf(const std::complex<float>* samples)
{
    return reinterpret_cast<const float*>(samples);
}

// The sets themselves: the x86-64 ones on x86-64, NEON on 64-bit ARM, and
// the scalar one everywhere.
extern const ConversionKernels scalarConversionKernels;
extern const ConversionKernels neonConversionKernels;
extern const ConversionKernels sse2ConversionKernels;
extern const ConversionKernels avx2ConversionKernels;
extern const ConversionKernels avx512ConversionKernels;
extern const ConversionKernels sse2StreamingConversionKernels;
extern const ConversionKernels avx2StreamingConversionKernels;
extern const ConversionKernels avx512StreamingConversionKernels;

} // namespace veltrano::detail
