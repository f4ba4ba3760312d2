// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>
#include <libbladeRF.h>

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

TEST_F(BladeRfEnumeration, unterminatedFieldsAreReadOnlyToTheirEnd)
{
    simulateBladeRf("board serial-fill=S product-fill=P\n");
    const auto boards = enumerateBladeRfDevices();
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].serial, std::string(BLADERF_SERIAL_LENGTH, 'S'));
    EXPECT_EQ(boards[0].label, std::string(BLADERF_DESCRIPTION_LENGTH, 'P'));
}

TEST_F(BladeRfEnumeration, tenThousandBoardsAreAllListed)
{
    simulateBladeRf("boards 10000 SN\n");
    const auto boards = enumerateBladeRfDevices();
    ASSERT_EQ(boards.size(), 10000u);
    EXPECT_EQ(boards.back().serial, "SN10000");
}

class BladeRfUnusableList : public test::Simulation, public ::testing::WithParamInterface<const char*> {};

TEST_P(BladeRfUnusableList, givesNothingAndIsNotFreed)
{
    simulateBladeRf(std::string(GetParam()) + "board serial=A\n");
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    EXPECT_THAT(bladeRf().calls("bladerf_free_device_list"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Lists, BladeRfUnusableList, ::testing::Values("list -7\n", "list 0\n", "list-null\n"));

TEST_F(BladeRfEnumeration, noUsableLibraryListsNothingWithoutCallingIt)
{
    simulateBladeRf("board serial=A\n", "sim-bladerf-no-sync-rx");
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    EXPECT_THAT(bladeRf().calls("bladerf_get_device_list"), IsEmpty());
}

} // namespace
} // namespace veltrano
