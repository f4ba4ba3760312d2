// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class BladeRfDevice : public test::Simulation {};

std::string openFailureOf(const std::string& serial)
{
    return test::openFailureOf<BladeRfSdrDevice>(serial);
}

TEST_F(BladeRfDevice, opensBySerialAndReportsItsIdentity)
{
    simulateBladeRf("board serial=AAA\nboard serial=BBB name=bladerf1 rx=1 tx=1\n");
    const BladeRfSdrDevice device("BBB");

    const DeviceInfo info = device.info();
    EXPECT_EQ(info.driver, "bladerf-native");
    EXPECT_EQ(info.label, "bladerf1");
    EXPECT_EQ(info.serial, "BBB");
    EXPECT_TRUE(info.supportsRx);
    EXPECT_TRUE(info.supportsTx);
    EXPECT_FALSE(info.familyFlag);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_THAT(bladeRf().calls("bladerf_open"), ElementsAre("bladerf_open *:serial=BBB -> 0"));
}

TEST_F(BladeRfDevice, emptySerialLetsTheLibraryPickTheFirstBoard)
{
    simulateBladeRf("board serial=AAA\n");
    const BladeRfSdrDevice device("");
    EXPECT_EQ(device.info().serial, "BLADERF-USB");
    EXPECT_THAT(bladeRf().calls("bladerf_open"), ElementsAre("bladerf_open (null) -> 0"));
}

TEST_F(BladeRfDevice, boardWithoutANameIsLabelledWithTheMaker)
{
    simulateBladeRf("board serial=A name=-null-\nboard serial=B name=-empty-\n");
    EXPECT_EQ(BladeRfSdrDevice("A").info().label, "Nuand bladeRF");
    EXPECT_EQ(BladeRfSdrDevice("B").info().label, "Nuand bladeRF");
}

TEST_F(BladeRfDevice, channelCountsDecideReceiveAndTransmitSupport)
{
    simulateBladeRf("board serial=RXONLY rx=1 tx=0\nboard serial=TXONLY rx=0 tx=1\n");
    const BladeRfSdrDevice receiver("RXONLY");
    EXPECT_TRUE(receiver.info().supportsRx);
    EXPECT_FALSE(receiver.info().supportsTx);
    EXPECT_THAT(receiver.txFrequencyRanges(), IsEmpty());
    const BladeRfSdrDevice transmitter("TXONLY");
    EXPECT_FALSE(transmitter.info().supportsRx);
    EXPECT_TRUE(transmitter.info().supportsTx);
}

TEST_F(BladeRfDevice, transmitNeedsTheLibrarysTransmitCall)
{
    simulateBladeRf("board serial=A tx=2\n", "sim-bladerf-no-sync-tx");
    const BladeRfSdrDevice device("A");
    EXPECT_FALSE(device.info().supportsTx);
    EXPECT_THAT(device.txFrequencyRanges(), IsEmpty());
}

TEST_F(BladeRfDevice, unknownSerialThrowsTheLibrarysText)
{
    simulateBladeRf("board serial=A\n");
    EXPECT_EQ(openFailureOf("ZZZ"), "bladeRF open failed: No devices available");
    EXPECT_THAT(bladeRf().calls("bladerf_close"), IsEmpty());
}

TEST_F(BladeRfDevice, openFailureWhenTheLibraryNamesNoText)
{
    simulateBladeRf("board serial=A\nstrerror off\nopen -1 *:serial=A\n");
    EXPECT_EQ(openFailureOf("A"), "bladeRF open failed: bladeRF error -1");
}

// Without the library's error texts the code stands in; an open that gives no
// device is a failure too.
TEST_F(BladeRfDevice, openFailuresWithoutTheLibrarysErrorTexts)
{
    simulateBladeRf("board serial=A\nopen-null-device *:serial=A\n", "sim-bladerf-no-strerror");
    EXPECT_EQ(openFailureOf("ZZZ"), "bladeRF open failed: bladeRF error -7");
    EXPECT_EQ(openFailureOf("A"), "bladeRF open failed: bladeRF error 0");
}

TEST_F(BladeRfDevice, withoutALibraryNothingOpens)
{
    simulateBladeRf("board serial=A\n", "sim-bladerf-no-sync-rx");
    EXPECT_EQ(openFailureOf("A"), "bladeRF library is not available");
}

TEST_F(BladeRfDevice, rangesAreScaledByTheLibrarysUnit)
{
    simulateBladeRf("board serial=A rate=1000,40000000,1,0.5 freq=47000,6000000,1,1000 tx-freq=1,2,1,1000000\n");
    const BladeRfSdrDevice device("A");
    EXPECT_EQ(device.maximumRxSampleRateHz(), 20e6);
    const auto receive = device.rxFrequencyRanges();
    ASSERT_EQ(receive.size(), 1u);
    EXPECT_EQ(receive[0].minimumHz, 47e6);
    EXPECT_EQ(receive[0].maximumHz, 6e9);
    const auto transmit = device.txFrequencyRanges();
    ASSERT_EQ(transmit.size(), 1u);
    EXPECT_EQ(transmit[0].minimumHz, 1e6);
    EXPECT_EQ(transmit[0].maximumHz, 2e6);
    // Nothing is cached: every query asks the library.
    static_cast<void>(device.rxFrequencyRanges());
    EXPECT_EQ(bladeRf().calls("bladerf_get_frequency_range").size(), 3u);
}

TEST_F(BladeRfDevice, failedQueriesGiveNoRangeAndNoRate)
{
    simulateBladeRf("board serial=A rate-result=-1 freq-result=-1\n");
    const BladeRfSdrDevice device("A");
    EXPECT_EQ(device.maximumRxSampleRateHz(), 0.0);
    EXPECT_THAT(device.rxFrequencyRanges(), IsEmpty());
    EXPECT_THAT(device.txFrequencyRanges(), IsEmpty());
}

TEST_F(BladeRfDevice, onlyHackRfCapabilitiesKeepTheirDefaults)
{
    simulateBladeRf("board serial=A\n");
    BladeRfSdrDevice device("A");
    NativeSweepBlock block;
    block.centerFrequencyHz = 5.0;
    EXPECT_FALSE(device.supportsNativeSweep());
    EXPECT_FALSE(device.configureNativeSweep(StreamConfig{}, 1e6, 2e6));
    EXPECT_FALSE(device.startNativeSweep());
    EXPECT_FALSE(device.readNativeSweepBlock(block));
    EXPECT_EQ(block.centerFrequencyHz, 5.0);
    EXPECT_FALSE(device.recoverNativeSweep());
    EXPECT_EQ(device.nativeSweepFftSize(), 1024u);
    EXPECT_FALSE(device.setRxAmplifier(true));
    EXPECT_FALSE(device.supportsRxAmplifier());
    EXPECT_TRUE(device.drainTx(std::stop_token{}));
    EXPECT_EQ(device.actualRxSampleRateHz(), 0.0);
}

TEST_F(BladeRfDevice, destructionClosesTheBoardWithoutTouchingIdleChannels)
{
    simulateBladeRf("board serial=A\n");
    {
        const BladeRfSdrDevice device("A");
    }
    EXPECT_THAT(bladeRf().calls("bladerf_close"), ElementsAre("bladerf_close"));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"), IsEmpty());
}

} // namespace
} // namespace veltrano
