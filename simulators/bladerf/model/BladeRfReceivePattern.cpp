// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfReceivePattern.h"

#include <algorithm>
#include <utility>

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

void exchangeIq(std::int16_t* values, std::size_t count)
{
    for (std::size_t index = 0; index < count; ++index) {
        std::swap(values[2 * index], values[2 * index + 1]);
    }
}

void spreadToTwoChannels(std::int16_t* values, std::size_t count)
{
    // From the back, so no sample is overwritten before it has moved.
    for (std::size_t index = count; index-- > 0;) {
        const std::int16_t i = values[2 * index];
        const std::int16_t q = values[2 * index + 1];
        std::int16_t* pair = values + 4 * index;
        pair[0] = i;
        pair[1] = q;
        pair[2] = q;
        pair[3] = i;
    }
}

} // namespace veltrano::sim::bladerf
