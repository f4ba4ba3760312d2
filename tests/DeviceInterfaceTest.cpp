// SPDX-License-Identifier: MIT
#include "device/ISdrDevice.h"

#include <gtest/gtest.h>

#include <limits>

namespace veltrano {
namespace {

TEST(FrequencyRangesCover, onlyIntervalsWithinOneValidRangeIncludingItsEdges)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<FrequencyRangeHz> hackRf{{1e6, 6e9}};
    const struct {
        std::vector<FrequencyRangeHz> ranges;
        double lowHz;
        double highHz;
        bool covered;
    } cases[] = {
        {hackRf, 1e6, 1e6 + 1, true},
        {hackRf, 6e9 - 1, 6e9, true},
        {hackRf, 6e9, 6e9 + 1, false},
        {hackRf, 1e6 - 1, 2e6, false},
        // Empty or inverted intervals, and no ranges at all.
        {hackRf, 2e6, 2e6, false},
        {hackRf, 3e6, 2e6, false},
        {{}, 2e6, 3e6, false},
        // Not a number anywhere covers nothing.
        {hackRf, nan, 2e6, false},
        {hackRf, 2e6, nan, false},
        {{{nan, 6e9}}, 2e6, 3e6, false},
        {{{1e6, nan}}, 2e6, 3e6, false},
        // A range whose minimum exceeds its maximum covers nothing.
        {{{6e9, 1e6}}, 2e6, 3e6, false},
        {{{6e9, 1e6}, {1e6, 6e9}}, 2e6, 3e6, true},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(frequencyRangesCover(each.ranges, each.lowHz, each.highHz), each.covered)
            << each.lowHz << " to " << each.highHz << " in " << each.ranges.size() << " ranges";
    }
}

} // namespace
} // namespace veltrano
