// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

#include <algorithm>

namespace veltrano {
namespace {

struct ListCase {
    const char* name;
    std::string script;
    std::vector<std::string> serials;
    std::size_t frees; // hackrf_device_list_free calls
};

class HackRfEnumeration : public test::Simulation, public ::testing::WithParamInterface<ListCase> {};

// Serials are copied whole without any check; a board without one gets its
// position as a placeholder, at least two digits wide. A list the library
// did not give is not freed.
TEST_P(HackRfEnumeration, boardsAreListedInTheLibrarysOrderWithPlaceholdersForMissingSerials)
{
    simulateHackRf(GetParam().script);
    std::vector<std::string> serials;
    for (const auto& board : enumerateHackRfDevices()) {
        serials.push_back(board.serial);
    }
    EXPECT_EQ(serials, GetParam().serials);
    EXPECT_EQ(hackRf().calls("hackrf_device_list_free").size(), GetParam().frees);
    // Every call asks the library afresh.
    EXPECT_EQ(enumerateHackRfDevices().size(), serials.size());
    EXPECT_EQ(hackRf().calls("hackrf_device_list").size(), 2u);
}

// prefix1, prefix2 ... prefix<count>, the numbers at least width digits wide.
std::vector<std::string> numbered(const std::string& prefix, int count, std::size_t width = 1)
{
    std::vector<std::string> serials;
    for (int position = 1; position <= count; ++position) {
        const std::string number = std::to_string(position);
        serials.push_back(prefix + std::string(width - std::min(width, number.size()), '0') + number);
    }
    return serials;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HackRfEnumeration,
    ::testing::Values(
        ListCase{"serialsAndPlaceholders",
                 "board B-second\nboard-null\nboard-empty\nboard has space+plus\nboard-repeat 1048576 Z\n",
                 {"B-second", "HACKRF-USB-02", "HACKRF-USB-03", "has space+plus", std::string(1048576, 'Z')},
                 1},
        ListCase{"noSerialArray", "board S1\nboard S2\nserial-array-null\n", numbered("HACKRF-USB-", 2, 2), 1},
        ListCase{"placeholderWidthIsAMinimum", "boards-null 100\n", numbered("HACKRF-USB-", 100, 2), 1},
        ListCase{"tenThousandBoards", "boards 10000 SN\n", numbered("SN", 10000), 1},
        ListCase{"negativeCount", "board S1\ncount -3\n", {}, 1},
        ListCase{"nullList", "board S1\nlist-null\n", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
