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

} // namespace

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
    }
    return false;
}

} // namespace veltrano::detail
