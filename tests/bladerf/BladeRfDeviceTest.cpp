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

struct IdentityCase {
    const char* script;
    const char* variant;
    const char* serial;
    const char* identity; // serial|label|rx|tx
    const char* openCall;
};

void PrintTo(const IdentityCase& testCase, std::ostream* stream)
{
    *stream << testCase.identity;
}

class BladeRfIdentity : public test::Simulation, public ::testing::WithParamInterface<IdentityCase> {};

// The identity comes from the board; an empty serial lets the library pick the
// first board; a board without a name is labelled with the maker; the channel
// counts (and the library's transmit call) decide receive and transmit support.
TEST_P(BladeRfIdentity, opensBySerialAndReportsItsIdentity)
{
    simulateBladeRf(GetParam().script, GetParam().variant);
    const BladeRfSdrDevice device(GetParam().serial);
    const DeviceInfo info = device.info();
    EXPECT_EQ(info.serial + "|" + info.label + "|" + std::to_string(info.supportsRx) + "|" +
                  std::to_string(info.supportsTx),
              GetParam().identity);
    EXPECT_EQ(info.driver, "bladerf-native");
    EXPECT_FALSE(info.familyFlag);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.txFrequencyRanges().empty(), !info.supportsTx);
    EXPECT_THAT(bladeRf().calls("bladerf_open"), ElementsAre(GetParam().openCall));
}

INSTANTIATE_TEST_SUITE_P(Boards, BladeRfIdentity,
                         ::testing::Values(IdentityCase{"board serial=AAA\nboard serial=BBB name=bladerf1 rx=1 tx=1\n",
                                                        "sim-bladerf", "BBB", "BBB|bladerf1|1|1",
                                                        "bladerf_open *:serial=BBB -> 0"},
                                           IdentityCase{"board serial=AAA\n", "sim-bladerf", "",
                                                        "BLADERF-USB|bladerf2|1|1", "bladerf_open (null) -> 0"},
                                           IdentityCase{"board serial=A name=-null-\n", "sim-bladerf", "A",
                                                        "A|Nuand bladeRF|1|1", "bladerf_open *:serial=A -> 0"},
                                           IdentityCase{"board serial=A name=-empty-\n", "sim-bladerf", "A",
                                                        "A|Nuand bladeRF|1|1", "bladerf_open *:serial=A -> 0"},
                                           IdentityCase{"board serial=A rx=1 tx=0\n", "sim-bladerf", "A",
                                                        "A|bladerf2|1|0", "bladerf_open *:serial=A -> 0"},
                                           IdentityCase{"board serial=A rx=0 tx=1\n", "sim-bladerf", "A",
                                                        "A|bladerf2|0|1", "bladerf_open *:serial=A -> 0"},
                                           IdentityCase{"board serial=A tx=2\n", "sim-bladerf-no-sync-tx", "A",
                                                        "A|bladerf2|1|0", "bladerf_open *:serial=A -> 0"}));

struct OpenFailureCase {
    const char* script;
    const char* variant;
    const char* serial;
    const char* failure;
};

void PrintTo(const OpenFailureCase& testCase, std::ostream* stream)
{
    *stream << testCase.failure;
}

class BladeRfOpenFailure : public test::Simulation, public ::testing::WithParamInterface<OpenFailureCase> {};

// The library's text for the failure, or its code when it has no text; an
// open that gives no device is a failure too.
TEST_P(BladeRfOpenFailure, saysWhyAndClosesNothing)
{
    simulateBladeRf(GetParam().script, GetParam().variant);
    EXPECT_EQ(openFailureOf(GetParam().serial), GetParam().failure);
    EXPECT_THAT(bladeRf().calls("bladerf_close"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Opens, BladeRfOpenFailure,
    ::testing::Values(
        OpenFailureCase{"board serial=A\n", "sim-bladerf", "ZZZ", "bladeRF open failed: No devices available"},
        OpenFailureCase{"board serial=A\nstrerror off\nopen -1 *:serial=A\n", "sim-bladerf", "A",
                        "bladeRF open failed: bladeRF error -1"},
        OpenFailureCase{"board serial=A\n", "sim-bladerf-no-strerror", "ZZZ", "bladeRF open failed: bladeRF error -7"},
        OpenFailureCase{"board serial=A\nopen-null-device *:serial=A\n", "sim-bladerf-no-strerror", "A",
                        "bladeRF open failed: bladeRF error 0"},
        OpenFailureCase{"board serial=A\n", "sim-bladerf-no-sync-rx", "A", "bladeRF library is not available"}));

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
