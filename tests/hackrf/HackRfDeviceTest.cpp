// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfEnumeration.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HackRfDevice : public test::Simulation {};

// Opening by serial and closing each opened board are the probe's and the
// module's tests, its backend, label, firmware and USB API version the
// module's hardware information.
TEST_F(HackRfDevice, reportsItsIdentity)
{
    simulateHackRf("board FIRST\nboard SECOND\n");
    const HackRfSdrDevice device("SECOND");
    const DeviceInfo info = device.info();
    EXPECT_EQ(info.serial, "SECOND");
    EXPECT_TRUE(info.supportsRx);
    EXPECT_TRUE(info.familyFlag);
    ASSERT_EQ(device.txFrequencyRanges().size(), 1u);
    EXPECT_EQ(device.txFrequencyRanges()[0].maximumHz, 6e9);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_THAT(hackRf().calls("hackrf_version_string_read"), ElementsAre("hackrf_version_string_read 255 -> 0"));
}

TEST_F(HackRfDevice, failedOpensThrowTheLibrarysTextAndLeaveNothingOpen)
{
    simulateHackRf("board A\nboard B\nopen-null-handle A\nopen -42 B\n");
    // An open that gives no handle is a failure, whatever its code says.
    EXPECT_EQ(test::openFailureOf<HackRfSdrDevice>("A"), "HackRF open failed: HACKRF_SUCCESS");
    EXPECT_EQ(test::openFailureOf<HackRfSdrDevice>("B"), "HackRF open failed: HackRF error -42");
    EXPECT_THAT(hackRf().calls("hackrf_close"), IsEmpty());
}

struct ReducedLibrary {
    const char* name;
    const char* variant;
    const char* script;
    int usbApi;
    bool supportsTx;
};

class HackRfReducedLibrary : public HackRfDevice, public ::testing::WithParamInterface<ReducedLibrary> {};

// Versions the library cannot read stay unknown; transmit needs its gain entry point.
TEST_P(HackRfReducedLibrary, whatTheLibraryCannotDoStaysUnknownOrUnsupported)
{
    simulateHackRf(std::string("board A\n") + GetParam().script, GetParam().variant);
    const HackRfSdrDevice device("A");
    EXPECT_EQ(device.firmwareVersion(), "");
    EXPECT_EQ(device.usbApiVersion(), GetParam().usbApi);
    EXPECT_EQ(device.info().supportsTx, GetParam().supportsTx);
    EXPECT_EQ(device.txFrequencyRanges().empty(), !GetParam().supportsTx);
}

INSTANTIATE_TEST_SUITE_P(Variants, HackRfReducedLibrary,
                         ::testing::Values(ReducedLibrary{"noVersions", "sim-hackrf-no-versions", "", 0, true},
                                           ReducedLibrary{"versionReadFails", "sim-hackrf",
                                                          "version ignored\nversion-result -1000\n", 0x0107, true},
                                           ReducedLibrary{"noTransmitGain", "sim-hackrf-no-txvga",
                                                          "version-result -1000\n", 0x0107, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HackRfDevice, reopenClosesAndOpensTheSameBoardAgain)
{
    simulateHackRf("board A\nboard B\nusb-api 0x0104\n");
    HackRfSdrDevice device("B");
    ASSERT_TRUE(device.reopenDevice());
    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.usbApiVersion(), 0x0104);
    EXPECT_EQ(device.actualRxSampleRateHz(), 0.0);
    EXPECT_TRUE(device.supportsRxAmplifier());
    EXPECT_EQ(hackRf().calls("hackrf_close").size(), 1u);

    // An empty serial opens, and reopens, the first board under the placeholder.
    HackRfSdrDevice first("");
    EXPECT_EQ(first.info().serial, "HACKRF-USB");
    ASSERT_TRUE(first.reopenDevice());
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"),
                ElementsAre("hackrf_open_by_serial B -> 0", "hackrf_open_by_serial B -> 0",
                            "hackrf_open_by_serial (null) -> 0", "hackrf_open_by_serial (null) -> 0"));
}

TEST_F(HackRfDevice, reopenGivesUpAfterTwelveAttemptsAndStaysClosed)
{
    simulateHackRf("board A\nunplug-after-opens 1\nclose -1000\n");
    HackRfSdrDevice device("A");
    // The failure's text, and the board closed for good, are the real library's fault test's.
    EXPECT_FALSE(device.reopenDevice());
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").size(), 1u + 12u);
    // Closed now: a second reopen has nothing to reopen.
    EXPECT_FALSE(device.reopenDevice());
    EXPECT_EQ(device.lastError(), "device reopen: device is not open");
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").size(), 1u + 12u);
}

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
        serials.push_back(prefix + std::string(width > number.size() ? width - number.size() : 0, '0') + number);
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
        ListCase{"negativeCount", "board S1\ncount -3\n", {}, 1}, ListCase{"nullList", "board S1\nlist-null\n", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
