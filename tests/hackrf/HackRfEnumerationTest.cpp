// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> serialsOf(const std::vector<HackRfDeviceSummary>& boards)
{
    std::vector<std::string> serials;
    for (const auto& board : boards) {
        serials.push_back(board.serial);
    }
    return serials;
}

class HackRfEnumeration : public test::Simulation {};

// Serials are copied whole without any check; a board without one gets its
// position as a placeholder.
TEST_F(HackRfEnumeration, boardsAreListedInTheLibrarysOrderWithPlaceholdersForMissingSerials)
{
    simulateHackRf("board B-second\nboard-null\nboard-empty\nboard has space+plus\nboard-repeat 1048576 Z\n");
    EXPECT_THAT(serialsOf(enumerateHackRfDevices()),
                ElementsAre("B-second", "HACKRF-USB-02", "HACKRF-USB-03", "has space+plus", std::string(1048576, 'Z')));
    EXPECT_EQ(hackRf().calls("hackrf_device_list_free").size(), 1u);
}

TEST_F(HackRfEnumeration, aMissingSerialArrayGivesEveryBoardAPlaceholder)
{
    simulateHackRf("board S1\nboard S2\nserial-array-null\n");
    EXPECT_THAT(serialsOf(enumerateHackRfDevices()), ElementsAre("HACKRF-USB-01", "HACKRF-USB-02"));
}

TEST_F(HackRfEnumeration, placeholderWidthIsAMinimumNotALimit)
{
    simulateHackRf("boards-null 100\n");
    const auto serials = serialsOf(enumerateHackRfDevices());
    ASSERT_EQ(serials.size(), 100u);
    EXPECT_EQ(serials[8], "HACKRF-USB-09");
    EXPECT_EQ(serials[98], "HACKRF-USB-99");
    EXPECT_EQ(serials[99], "HACKRF-USB-100");
}

TEST_F(HackRfEnumeration, tenThousandBoardsAreAllListed)
{
    simulateHackRf("boards 10000 SN\n");
    const auto serials = serialsOf(enumerateHackRfDevices());
    ASSERT_EQ(serials.size(), 10000u);
    EXPECT_EQ(serials.front(), "SN1");
    EXPECT_EQ(serials.back(), "SN10000");
}

TEST_F(HackRfEnumeration, zeroOrNegativeCountGivesNothingButFreesTheList)
{
    simulateHackRf("board S1\ncount -3\n");
    EXPECT_THAT(enumerateHackRfDevices(), IsEmpty());
    EXPECT_EQ(hackRf().calls("hackrf_device_list_free").size(), 1u);
}

TEST_F(HackRfEnumeration, aNullListGivesNothingAndIsNotFreed)
{
    simulateHackRf("board S1\nlist-null\n");
    EXPECT_THAT(enumerateHackRfDevices(), IsEmpty());
    EXPECT_THAT(hackRf().calls("hackrf_device_list_free"), IsEmpty());
}

TEST_F(HackRfEnumeration, everyCallAsksTheLibraryAfresh)
{
    simulateHackRf("board S1\n");
    EXPECT_EQ(enumerateHackRfDevices().size(), 1u);
    EXPECT_EQ(enumerateHackRfDevices().size(), 1u);
    EXPECT_EQ(hackRf().calls("hackrf_device_list").size(), 2u);
}

TEST_F(HackRfEnumeration, noUsableLibraryListsNothingWithoutCallingIt)
{
    simulateHackRf("board S1\n", "sim-hackrf-no-amp-enable");
    EXPECT_THAT(enumerateHackRfDevices(), IsEmpty());
    EXPECT_THAT(hackRf().journal(), IsEmpty());
}

} // namespace
} // namespace veltrano
