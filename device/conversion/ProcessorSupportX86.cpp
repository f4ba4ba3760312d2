// SPDX-License-Identifier: MIT
// What the processor offers (CPUID) and what the operating system saves on a
// thread switch (XCR0): a processor may have AVX-512 while the system keeps
// it off, and then its instructions fault.
#include "device/conversion/ConversionKernels.h"

#include <cpuid.h>

namespace veltrano::detail {
namespace {

// XCR0 state bits: SSE and AVX registers for AVX; additionally the mask
// registers and both halves of the upper ZMM state for AVX-512.
constexpr unsigned long long avxState = 0x6;
constexpr unsigned long long avx512State = 0xE6;

struct ProcessorFeatures {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512 = false;
};

unsigned long long enabledRegisterState()
{
    unsigned int low = 0;
    unsigned int high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
}

ProcessorFeatures detectFeatures()
{
    ProcessorFeatures features;
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.sse2 = (edx & bit_SSE2) != 0;
    // XGETBV itself exists only when the system has turned on OSXSAVE.
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) {
        return features;
    }
    const unsigned long long state = enabledRegisterState();
    if ((state & avxState) != avxState || __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.avx2 = (ebx & bit_AVX2) != 0;
    const unsigned int avx512Subsets = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
    features.avx512 = features.avx2 && (ebx & avx512Subsets) == avx512Subsets && (state & avx512State) == avx512State;
    return features;
}

// Leaf 4 (Intel) and leaf 0x8000001D (AMD) describe one cache per subleaf;
// the size of a data or unified cache of the given level, or 0.
std::size_t describedCacheBytes(unsigned int leaf, unsigned int level)
{
    if (__get_cpuid_max(leaf & 0x80000000U, nullptr) < leaf) {
        return 0;
    }
    for (unsigned int subleaf = 0; subleaf < 16; ++subleaf) {
        unsigned int eax = 0;
        unsigned int ebx = 0;
        unsigned int ecx = 0;
        unsigned int edx = 0;
        __cpuid_count(leaf, subleaf, eax, ebx, ecx, edx);
        const unsigned int type = eax & 0x1F;
        if (type == 0) {
            break;
        }
        if (((eax >> 5) & 0x7) == level && type != 2) {
            const std::size_t ways = (ebx >> 22) + 1;
            const std::size_t partitions = ((ebx >> 12) & 0x3FF) + 1;
            const std::size_t lineBytes = (ebx & 0xFFF) + 1;
            return ways * partitions * lineBytes * (std::size_t{ecx} + 1);
        }
    }
    return 0;
}

std::size_t cacheBytes(unsigned int level)
{
    for (const unsigned int leaf : {4U, 0x8000001DU}) {
        if (const std::size_t bytes = describedCacheBytes(leaf, level)) {
            return bytes;
        }
    }
    // Older AMD processors, and hypervisors that leave the leaves above
    // empty, give L2 in KiB and L3 in 512 KiB units here.
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    if (__get_cpuid(0x80000006U, &eax, &ebx, &ecx, &edx) == 0) {
        return 0;
    }
    if (level == 2) {
        return std::size_t{ecx >> 16} * 1024;
    }
    return level == 3 ? std::size_t{edx >> 18} * 512 * 1024 : 0;
}

} // namespace

std::size_t level2CacheBytes()
{
    return cacheBytes(2);
}

std::size_t lastLevelCacheBytes()
{
    for (const unsigned int level : {4U, 3U}) {
        if (const std::size_t bytes = cacheBytes(level)) {
            return bytes;
        }
    }
    return cacheBytes(2);
}

bool processorRuns(InstructionSet set)
{
    // Asked once per process by the conversion functions, which keep the answer.
    const ProcessorFeatures features = detectFeatures();
    switch (set) {
    case InstructionSet::Scalar:
        return true;
    case InstructionSet::Sse2:
        return features.sse2;
    case InstructionSet::Avx2:
        return features.avx2;
    case InstructionSet::Avx512:
        return features.avx512;
    case InstructionSet::Neon:
        return false;
    }
    return false;
}

} // namespace veltrano::detail
