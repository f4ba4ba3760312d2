// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

struct ListCase {
    const char* script;
    std::vector<std::string> serials; // a board without one is numbered by its position
    std::size_t frees;                // bladerf_free_device_list calls
};

class BladeRfEnumeration : public test::Simulation, public ::testing::WithParamInterface<ListCase> {};

// The boards' labels are the probe's tests. A list the library gave is freed
// once; an unusable one gives nothing and is not freed.
TEST_P(BladeRfEnumeration, freesOnlyAListItWasGiven)
{
    simulateBladeRf(std::string(GetParam().script) + "board serial=A\nboard product=p\n");
    std::vector<std::string> serials;
    for (const auto& board : enumerateBladeRfDevices()) {
        serials.push_back(board.serial);
    }
    EXPECT_EQ(serials, GetParam().serials);
    EXPECT_EQ(bladeRf().calls("bladerf_free_device_list").size(), GetParam().frees);
}

INSTANTIATE_TEST_SUITE_P(Lists, BladeRfEnumeration,
                         ::testing::Values(ListCase{"", {"A", "BLADERF-USB-2"}, 1}, ListCase{"list -7\n", {}, 0},
                                           ListCase{"list 0\n", {}, 0}, ListCase{"list-null\n", {}, 0}));

} // namespace
} // namespace veltrano
