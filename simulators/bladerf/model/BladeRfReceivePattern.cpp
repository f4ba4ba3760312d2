// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfReceivePattern.h"

#include <algorithm>

namespace veltrano::sim::bladerf {

void fillReceivePattern(std::int16_t* values, std::uint64_t first, std::size_t count)
{
    // In runs that share one Q, I counts up: a loop the compiler vectorises,
    // so the pattern costs the benchmarks little of what they measure.
    std::size_t index = 0;
    while (index < count) {
        const std::uint64_t time = first + index;
        const auto firstI = static_cast<int>(time % 4096);
        const std::int16_t q = patternQ(time);
        const std::size_t run = std::min<std::size_t>(4096 - static_cast<std::size_t>(firstI), count - index);
        std::int16_t* out = values + 2 * index;
        for (std::size_t offset = 0; offset < run; ++offset) {
            out[2 * offset] = static_cast<std::int16_t>(firstI - 2048 + static_cast<int>(offset));
            out[2 * offset + 1] = q;
        }
        index += run;
    }
}

} // namespace veltrano::sim::bladerf
