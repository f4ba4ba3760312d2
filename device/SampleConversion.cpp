// SPDX-License-Identifier: MIT
// The public conversion functions run the widest kernel set the machine
// supports, with streaming stores for outputs too large for the cache; the
// choice is made on the first conversion and kept.
#include "device/SampleConversion.h"

#include "device/conversion/ConversionKernels.h"
#include "device/conversion/StreamingThreshold.h"

#include <algorithm>
#include <atomic>

namespace veltrano::detail {
namespace {

// Choosing is idempotent, so threads racing to the first conversion may all
// choose and store the same values: no lock, and later calls pay three
// loads. The cached table is stored last and read first, so whoever sees it
// also sees the other two.
std::atomic<const ConversionKernels*> chosenKernels{nullptr};
std::atomic<const ConversionKernels*> chosenStreamingKernels{nullptr};
std::atomic<std::size_t> chosenStreamingThreshold{0};

constexpr InstructionSet widestFirst[] = {InstructionSet::Avx512, InstructionSet::Avx2, InstructionSet::Sse2,
                                          InstructionSet::Neon, InstructionSet::Scalar};

void choose()
{
    for (const InstructionSet set : widestFirst) {
        if (const ConversionKernels* kernels = conversionKernels(set)) {
            const ConversionKernels* streaming = conversionKernels(set, StorePolicy::Streaming);
            chosenStreamingKernels.store(streaming != nullptr ? streaming : kernels, std::memory_order_relaxed);
            chosenStreamingThreshold.store(streamingOutputThreshold(level2CacheBytes(), lastLevelCacheBytes()),
                                           std::memory_order_relaxed);
            chosenKernels.store(kernels, std::memory_order_release);
            return;
        }
    }
}

const ConversionKernels& chosenCachedKernels()
{
    const ConversionKernels* kernels = chosenKernels.load(std::memory_order_acquire);
    if (kernels == nullptr) {
        choose();
        kernels = chosenKernels.load(std::memory_order_acquire);
    }
    return *kernels;
}

// The chosen kernels for a call that writes outputBytes.
const ConversionKernels& kernelsWriting(std::size_t outputBytes)
{
    const ConversionKernels& cached = chosenCachedKernels();
    if (outputBytes < chosenStreamingThreshold.load(std::memory_order_relaxed)) {
        return cached;
    }
    return *chosenStreamingKernels.load(std::memory_order_relaxed);
}

// Samples of each channel the two-channel conversions hold on the stack at a
// time: 4 KiB of SC16 each.
constexpr std::size_t kTwoChannelBlock = 1024;

} // namespace

#if !defined(VELTRANO_X86_64_KERNELS) && !defined(VELTRANO_AARCH64_KERNELS)
bool processorRuns(InstructionSet set)
{
    return set == InstructionSet::Scalar;
}

std::size_t level2CacheBytes()
{
    return 0;
}

std::size_t lastLevelCacheBytes()
{
    return 0;
}
#endif

const ConversionKernels* conversionKernels(InstructionSet set, StorePolicy policy)
{
    if (!processorRuns(set)) {
        return nullptr;
    }
    const bool streaming = policy == StorePolicy::Streaming;
    switch (set) {
    case InstructionSet::Scalar:
        return streaming ? nullptr : &scalarConversionKernels;
#if defined(VELTRANO_X86_64_KERNELS)
    case InstructionSet::Sse2:
        return streaming ? &sse2StreamingConversionKernels : &sse2ConversionKernels;
    case InstructionSet::Avx2:
        return streaming ? &avx2StreamingConversionKernels : &avx2ConversionKernels;
    case InstructionSet::Avx512:
        return streaming ? &avx512StreamingConversionKernels : &avx512ConversionKernels;
#endif
#if defined(VELTRANO_AARCH64_KERNELS)
    case InstructionSet::Neon:
        return streaming ? nullptr : &neonConversionKernels;
#endif
    default:
        return nullptr;
    }
}

InstructionSet activeInstructionSet()
{
    const ConversionKernels& active = activeConversionKernels();
    for (const InstructionSet set : widestFirst) {
        if (conversionKernels(set) == &active) {
            return set;
        }
    }
    return InstructionSet::Scalar;
}

const ConversionKernels& activeConversionKernels(StorePolicy policy)
{
    const ConversionKernels& cached = chosenCachedKernels();
    return policy == StorePolicy::Streaming ? *chosenStreamingKernels.load(std::memory_order_relaxed) : cached;
}

std::size_t streamingStoreThreshold()
{
    chosenCachedKernels();
    return chosenStreamingThreshold.load(std::memory_order_relaxed);
}

StorePolicy storePolicyFor(std::size_t outputBytes)
{
    return &kernelsWriting(outputBytes) == &chosenCachedKernels() ? StorePolicy::Cached : StorePolicy::Streaming;
}

const char* instructionSetName(InstructionSet set)
{
    switch (set) {
    case InstructionSet::Scalar:
        return "scalar";
    case InstructionSet::Sse2:
        return "sse2";
    case InstructionSet::Avx2:
        return "avx2";
    case InstructionSet::Avx512:
        return "avx512";
    case InstructionSet::Neon:
        return "neon";
    }
    return "unknown";
}

// Each call writes 8 bytes per sample of complex float, 2 of 8-bit I/Q and
// 4 of SC16 Q11.
void convertCs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    kernelsWriting(8 * count).cs8ToCf32(in, out, count);
}

void convertCf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    kernelsWriting(2 * count).cf32ToCs8(in, out, count);
}

void convertSc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    kernelsWriting(8 * count).sc16ToCf32(in, out, count);
}

void convertCf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    kernelsWriting(4 * count).cf32ToSc16(in, out, count);
}

void splitSc16TwoChannels(const std::int16_t* in, std::int16_t* out0, std::int16_t* out1, std::size_t count)
{
    chosenCachedKernels().splitSc16x2(in, out0, out1, count);
}

void joinSc16TwoChannels(const std::int16_t* in0, const std::int16_t* in1, std::int16_t* out, std::size_t count)
{
    chosenCachedKernels().joinSc16x2(in0, in1, out, count);
}

// The channels pass through a block of each on the stack, small enough to
// stay in the level 1 cache beside what streams through it: a split or join
// there costs little next to the conversion, and each channel is converted
// by the very kernels one channel uses.
void convertSc16TwoChannelsToCf32(const std::int16_t* in, std::complex<float>* out0, std::complex<float>* out1,
                                  std::size_t count)
{
    const ConversionKernels& split = chosenCachedKernels();
    const ConversionKernels& convert = kernelsWriting(16 * count);
    alignas(64) std::int16_t channel0[2 * kTwoChannelBlock];
    alignas(64) std::int16_t channel1[2 * kTwoChannelBlock];
    for (std::size_t done = 0; done < count; done += kTwoChannelBlock) {
        const std::size_t block = std::min(kTwoChannelBlock, count - done);
        split.splitSc16x2(in + 4 * done, channel0, channel1, block);
        convert.sc16ToCf32(channel0, out0 + done, block);
        convert.sc16ToCf32(channel1, out1 + done, block);
    }
}

void convertCf32ToSc16TwoChannels(const std::complex<float>* in0, const std::complex<float>* in1, std::int16_t* out,
                                  std::size_t count)
{
    const ConversionKernels& kernels = chosenCachedKernels();
    alignas(64) std::int16_t channel0[2 * kTwoChannelBlock];
    alignas(64) std::int16_t channel1[2 * kTwoChannelBlock];
    for (std::size_t done = 0; done < count; done += kTwoChannelBlock) {
        const std::size_t block = std::min(kTwoChannelBlock, count - done);
        kernels.cf32ToSc16(in0 + done, channel0, block);
        kernels.cf32ToSc16(in1 + done, channel1, block);
        kernels.joinSc16x2(channel0, channel1, out + 4 * done, block);
    }
}

} // namespace veltrano::detail
