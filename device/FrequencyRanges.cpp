// SPDX-License-Identifier: MIT
#include "device/ISdrDevice.h"

#include <algorithm>

namespace veltrano {

bool frequencyRangesCover(const std::vector<FrequencyRangeHz>& ranges, double lowHz, double highHz)
{
    // Written as "not below" so that a NaN on either side rejects the interval.
    if (!(lowHz < highHz)) {
        return false;
    }
    return std::any_of(ranges.begin(), ranges.end(), [&](const FrequencyRangeHz& range) {
        return range.minimumHz <= range.maximumHz && range.minimumHz <= lowHz && highHz <= range.maximumHz;
    });
}

} // namespace veltrano
