// SPDX-License-Identifier: MIT
// What a 64-bit ARM processor runs: NEON is part of the AArch64 base
// architecture, so there is nothing to ask. The cache sizes stay unknown
// (0): only x86's streaming kernels use them.
#include "device/conversion/ConversionKernels.h"

namespace veltrano::detail {

bool processorRuns(InstructionSet set)
{
    return set == InstructionSet::Scalar || set == InstructionSet::Neon;
}

std::size_t level2CacheBytes()
{
    return 0;
}

std::size_t lastLevelCacheBytes()
{
    return 0;
}

} // namespace veltrano::detail
