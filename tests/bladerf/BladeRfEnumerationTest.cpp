// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> describe(const std::vector<BladeRfDeviceSummary>& boards)
{
    std::vector<std::string> lines;
    for (const auto& board : boards) {
        lines.push_back(board.serial + "|" + board.label);
    }
    return lines;
}

class BladeRfEnumeration : public test::Simulation {};

// A board without a serial is numbered by its list position; one without a
// product is labelled with the maker.
TEST_F(BladeRfEnumeration, boardsAreListedInOrderWithSerialAndProduct)
{
    simulateBladeRf("board serial=AAA product=bladeRF_2.0\nboard serial=BBB product=bladeRF_x40\nboard product=p\n"
                    "board serial=DDD\n");
    EXPECT_THAT(describe(enumerateBladeRfDevices()),
                ElementsAre("AAA|bladeRF_2.0", "BBB|bladeRF_x40", "BLADERF-USB-3|p", "DDD|Nuand bladeRF"));
    EXPECT_EQ(bladeRf().calls("bladerf_free_device_list").size(), 1u);
}

class BladeRfUnusableList : public test::Simulation, public ::testing::WithParamInterface<const char*> {};

TEST_P(BladeRfUnusableList, givesNothingAndIsNotFreed)
{
    simulateBladeRf(std::string(GetParam()) + "board serial=A\n");
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    EXPECT_THAT(bladeRf().calls("bladerf_free_device_list"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Lists, BladeRfUnusableList, ::testing::Values("list -7\n", "list 0\n", "list-null\n"));

} // namespace
} // namespace veltrano
