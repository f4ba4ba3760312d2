// SPDX-License-Identifier: MIT
// The public conversion functions run the widest kernel set the machine
// supports; the choice is made on the first conversion and kept.
#include "device/SampleConversion.h"

#include "device/conversion/ConversionKernels.h"

#include <atomic>

namespace veltrano::detail {
namespace {

// Choosing is idempotent, so threads racing to the first conversion may all
// choose and store the same table: no lock, and later calls pay one load.
std::atomic<const ConversionKernels*> chosenKernels{nullptr};

constexpr InstructionSet widestFirst[] = {InstructionSet::Avx512, InstructionSet::Avx2, InstructionSet::Sse2,
                                          InstructionSet::Scalar};

} // namespace

#if !defined(VELTRANO_X86_64_KERNELS)
bool processorRuns(InstructionSet set)
{
    return set == InstructionSet::Scalar;
}
#endif

const ConversionKernels* conversionKernels(InstructionSet set)
{
    if (!processorRuns(set)) {
        return nullptr;
    }
    switch (set) {
    case InstructionSet::Scalar:
        return &scalarConversionKernels;
#if defined(VELTRANO_X86_64_KERNELS)
    case InstructionSet::Sse2:
        return &sse2ConversionKernels;
    case InstructionSet::Avx2:
        return &avx2ConversionKernels;
    case InstructionSet::Avx512:
        return &avx512ConversionKernels;
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

const ConversionKernels& activeConversionKernels()
{
    const ConversionKernels* kernels = chosenKernels.load(std::memory_order_acquire);
    if (kernels == nullptr) {
        for (const InstructionSet set : widestFirst) {
            kernels = conversionKernels(set);
            if (kernels != nullptr) {
                break;
            }
        }
        chosenKernels.store(kernels, std::memory_order_release);
    }
    return *kernels;
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
    }
    return "unknown";
}

void convertCs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t count)
{
    activeConversionKernels().cs8ToCf32(in, out, count);
}

void convertCf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t count)
{
    activeConversionKernels().cf32ToCs8(in, out, count);
}

void convertSc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t count)
{
    activeConversionKernels().sc16ToCf32(in, out, count);
}

void convertCf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t count)
{
    activeConversionKernels().cf32ToSc16(in, out, count);
}

} // namespace veltrano::detail
