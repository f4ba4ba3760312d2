// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HackRfDevice : public test::Simulation {};

std::string openFailureOf(const std::string& serial)
{
    return test::openFailureOf<HackRfSdrDevice>(serial);
}

TEST_F(HackRfDevice, opensByItsSerialAndReportsItsIdentity)
{
    simulateHackRf("board FIRST\nboard SECOND\nversion fw-2026.1\nusb-api 0x0102\n");
    const HackRfSdrDevice device("SECOND");

    const DeviceInfo info = device.info();
    EXPECT_EQ(info.driver, "hackrf-native");
    EXPECT_EQ(info.label, "HackRF One");
    EXPECT_EQ(info.serial, "SECOND");
    EXPECT_TRUE(info.supportsRx);
    EXPECT_TRUE(info.supportsTx);
    EXPECT_TRUE(info.familyFlag);
    EXPECT_EQ(device.firmwareVersion(), "fw-2026.1");
    EXPECT_EQ(device.usbApiVersion(), 0x0102);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"), ElementsAre("hackrf_open_by_serial SECOND -> 0"));
    EXPECT_THAT(hackRf().calls("hackrf_version_string_read"), ElementsAre("hackrf_version_string_read 255 -> 0"));
}

TEST_F(HackRfDevice, emptySerialOpensAndReopensTheFirstBoardUnderThePlaceholder)
{
    simulateHackRf("board FIRST\n");
    HackRfSdrDevice device("");
    EXPECT_EQ(device.info().serial, "HACKRF-USB");
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"), ElementsAre("hackrf_open_by_serial (null) -> 0"));
    ASSERT_TRUE(device.reopenDevice());
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"),
                ElementsAre("hackrf_open_by_serial (null) -> 0", "hackrf_open_by_serial (null) -> 0"));
}

TEST_F(HackRfDevice, capabilitiesAreFixedForEveryBoard)
{
    simulateHackRf("board A\n");
    HackRfSdrDevice device("A");
    ASSERT_EQ(device.rxFrequencyRanges().size(), 1u);
    EXPECT_EQ(device.rxFrequencyRanges()[0].minimumHz, 1e6);
    EXPECT_EQ(device.rxFrequencyRanges()[0].maximumHz, 6e9);
    ASSERT_EQ(device.txFrequencyRanges().size(), 1u);
    EXPECT_EQ(device.txFrequencyRanges()[0].maximumHz, 6e9);
    EXPECT_EQ(device.maximumRxSampleRateHz(), 20e6);
    EXPECT_EQ(device.actualRxSampleRateHz(), 0.0);
    EXPECT_EQ(device.nativeSweepFftSize(), 512u);
    EXPECT_TRUE(device.supportsRxAmplifier());
    // What only bladeRF does keeps the interface's defaults.
    EXPECT_FALSE(device.supportsFastRxRetune());
    EXPECT_TRUE(device.prepareRxFrequencies({1e8, 2e8}));
    EXPECT_EQ(device.fastRxRetuneCount() + device.regularRxRetuneCount() + device.failedFastRxRetuneCount(), 0u);
    EXPECT_EQ(device.lastFastRxRetuneError(), 0);
    EXPECT_FALSE(device.streamTimeSeconds().has_value());
}

TEST_F(HackRfDevice, destructionClosesTheBoardItOpened)
{
    simulateHackRf("board A\n");
    {
        const HackRfSdrDevice device("A");
    }
    EXPECT_THAT(hackRf().calls("hackrf_close"), ElementsAre("hackrf_close -> 0"));
}

TEST_F(HackRfDevice, failedOpensThrowTheLibrarysTextAndLeaveNothingOpen)
{
    simulateHackRf("board A\nboard B\nopen-null-handle A\nopen -42 B\n");
    EXPECT_EQ(openFailureOf("NOT-THERE"), "HackRF open failed: HACKRF_ERROR_NOT_FOUND");
    // An open that gives no handle is a failure, whatever its code says.
    EXPECT_EQ(openFailureOf("A"), "HackRF open failed: HACKRF_SUCCESS");
    EXPECT_EQ(openFailureOf("B"), "HackRF open failed: HackRF error -42");
    EXPECT_THAT(hackRf().calls("hackrf_close"), IsEmpty());
}

TEST_F(HackRfDevice, withoutALibraryNothingOpens)
{
    simulateHackRf("board A\n", "sim-hackrf-no-amp-enable");
    EXPECT_EQ(openFailureOf("A"), "HackRF library is not available");
}

TEST_F(HackRfDevice, versionsStayUnknownWhenTheLibraryCannotReadThem)
{
    simulateHackRf("board A\n", "sim-hackrf-no-versions");
    const HackRfSdrDevice device("A");
    EXPECT_EQ(device.firmwareVersion(), "");
    EXPECT_EQ(device.usbApiVersion(), 0);
}

TEST_F(HackRfDevice, aFailedVersionReadLeavesTheTextEmpty)
{
    simulateHackRf("board A\nversion ignored\nversion-result -1000\n");
    const HackRfSdrDevice device("A");
    EXPECT_EQ(device.firmwareVersion(), "");
}

TEST_F(HackRfDevice, transmitNeedsTheTransmitGainEntryPoint)
{
    simulateHackRf("board A\n", "sim-hackrf-no-txvga");
    const HackRfSdrDevice device("A");
    EXPECT_FALSE(device.info().supportsTx);
    EXPECT_THAT(device.txFrequencyRanges(), IsEmpty());
}

TEST_F(HackRfDevice, reopenClosesAndOpensTheSameBoardAgain)
{
    simulateHackRf("board A\nboard B\nusb-api 0x0104\n");
    HackRfSdrDevice device("B");

    ASSERT_TRUE(device.reopenDevice());

    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.usbApiVersion(), 0x0104);
    EXPECT_EQ(device.actualRxSampleRateHz(), 0.0);
    EXPECT_TRUE(device.supportsRxAmplifier());
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"),
                ElementsAre("hackrf_open_by_serial B -> 0", "hackrf_open_by_serial B -> 0"));
    EXPECT_EQ(hackRf().calls("hackrf_close").size(), 1u);
}

TEST_F(HackRfDevice, reopenGivesUpAfterTwelveAttemptsAndStaysClosed)
{
    simulateHackRf("board A\nunplug-after-opens 1\nclose -1000\n");
    HackRfSdrDevice device("A");

    EXPECT_FALSE(device.reopenDevice());

    EXPECT_EQ(device.lastError(),
              "device close/reopen failed (close: HACKRF_ERROR_LIBUSB) (open: HACKRF_ERROR_NOT_FOUND)");
    EXPECT_FALSE(device.supportsRxAmplifier());
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").size(), 1u + 12u);

    EXPECT_FALSE(device.reopenDevice());
    EXPECT_EQ(device.lastError(), "device reopen: device is not open");
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").size(), 1u + 12u);
}

} // namespace
} // namespace veltrano
