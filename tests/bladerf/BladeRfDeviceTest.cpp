// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;

class BladeRfDevice : public test::Simulation {};

// A board to open and what the test expects of it: its identity, or why it
// does not open.
struct OpenCase {
    const char* script;
    const char* serial;
    const char* expected;
    const char* variant = "sim-bladerf";
};

class BladeRfOpen : public test::Simulation, public ::testing::WithParamInterface<OpenCase> {};
using BladeRfIdentity = BladeRfOpen;
using BladeRfOpenFailure = BladeRfOpen;

// The identity comes from the board; an empty serial lets the library pick the
// first board; a board without a name is labelled with the maker; the channel
// counts (and the library's transmit call) decide receive and transmit support
// (identity: serial|label|rx|tx).
TEST_P(BladeRfIdentity, opensBySerialAndReportsItsIdentity)
{
    simulateBladeRf(GetParam().script, GetParam().variant);
    const std::string serial = GetParam().serial;
    const BladeRfSdrDevice device(serial);
    const DeviceInfo info = device.info();
    EXPECT_EQ(info.serial + "|" + info.label + "|" + std::to_string(info.supportsRx) + "|" +
                  std::to_string(info.supportsTx),
              GetParam().expected);
    EXPECT_EQ(info.driver, "bladerf-native");
    EXPECT_FALSE(info.familyFlag);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.txFrequencyRanges().empty(), !info.supportsTx);
    EXPECT_THAT(bladeRf().calls("bladerf_open"),
                ElementsAre("bladerf_open " + (serial.empty() ? "(null)" : "*:serial=" + serial) + " -> 0"));
}

INSTANTIATE_TEST_SUITE_P(Boards, BladeRfIdentity,
                         ::testing::Values(OpenCase{"board serial=AAA\nboard serial=BBB name=bladerf1 rx=1 tx=1\n",
                                                    "BBB", "BBB|bladerf1|1|1"},
                                           OpenCase{"board serial=AAA\n", "", "BLADERF-USB|bladerf2|1|1"},
                                           OpenCase{"board serial=A name=-null-\n", "A", "A|Nuand bladeRF|1|1"},
                                           OpenCase{"board serial=A name=-empty-\n", "A", "A|Nuand bladeRF|1|1"},
                                           OpenCase{"board serial=A rx=1 tx=0\n", "A", "A|bladerf2|1|0"},
                                           OpenCase{"board serial=A rx=0 tx=1\n", "A", "A|bladerf2|0|1"},
                                           OpenCase{"board serial=A tx=2\n", "A", "A|bladerf2|1|0",
                                                    "sim-bladerf-no-sync-tx"}));

// The library's text for the failure is the probe's test, and so is its code
// where the library cannot name it; here the library names it null, and the
// open gives no device, which is a failure too.
TEST_P(BladeRfOpenFailure, saysWhyAndClosesNothing)
{
    simulateBladeRf(GetParam().script, GetParam().variant);
    EXPECT_EQ(test::openFailureOf<BladeRfSdrDevice>(GetParam().serial), GetParam().expected);
    EXPECT_THAT(bladeRf().calls("bladerf_close"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Opens, BladeRfOpenFailure,
                         ::testing::Values(OpenCase{"board serial=A\nstrerror off\nopen-null-device *:serial=A\n", "A",
                                                    "bladeRF open failed: bladeRF error 0"},
                                           OpenCase{"board serial=A\nstrerror off\nopen-null *:serial=A\n", "A",
                                                    "bladeRF open failed: bladeRF error 0"},
                                           OpenCase{"board serial=A\n", "A", "bladeRF library is not available",
                                                    "sim-bladerf-no-sync-rx"}));

// The board vanishes after the script's number of successful opens: later
// opens fail and the list is empty.
TEST_F(BladeRfDevice, aBoardUnpluggedAfterItsOpensIsNeitherListedNorOpenedAgain)
{
    simulateBladeRf("board serial=A\nstrerror off\nunplug after-opens 1\n");
    EXPECT_EQ(enumerateBladeRfDevices().size(), 1u);
    {
        const BladeRfSdrDevice first("A");
    }
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    EXPECT_EQ(test::openFailureOf<BladeRfSdrDevice>("A"), "bladeRF open failed: bladeRF error -7");
}

// A failure for a range of calls, in the one grammar: the calls in it fail,
// those around it do not.
TEST_F(BladeRfDevice, aFailureForARangeOfCallsHoldsForThoseCallsAlone)
{
    simulateBladeRf("board serial=A\nfail bladerf_set_frequency -1 calls 2-3\n");
    BladeRfSdrDevice device("A");
    for (const double frequencyHz : {100e6, 200e6, 300e6, 400e6}) {
        static_cast<void>(device.setRxFrequency(frequencyHz));
    }
    EXPECT_THAT(bladeRf().calls("bladerf_set_frequency"),
                ElementsAre(EndsWith("-> 0"), EndsWith("-> -1"), EndsWith("-> -1"), EndsWith("-> 0")));
}

// The rate and the ranges' scaling (shared by both directions) are the probe's
// tests. Nothing is cached; destroying an idle device leaves its channels
// alone; a failed query gives no transmit range.
TEST_F(BladeRfDevice, theTransmitRangeIsTheTransmitChannelsAndTheIdleBoardIsClosed)
{
    simulateBladeRf("board serial=A tx-freq=1,2,1,1000000\nboard serial=B freq-result=-1\n");
    {
        const BladeRfSdrDevice device("A");
        const auto transmit = device.txFrequencyRanges();
        ASSERT_EQ(transmit.size(), 1u);
        EXPECT_EQ(transmit[0].maximumHz, 2e6);
        static_cast<void>(device.txFrequencyRanges());
    }
    EXPECT_EQ(bladeRf().calls("bladerf_get_frequency_range").size(), 2u);
    EXPECT_THAT(bladeRf().calls("bladerf_close"), ElementsAre("bladerf_close"));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"), IsEmpty());
    EXPECT_THAT(BladeRfSdrDevice("B").txFrequencyRanges(), IsEmpty());
}

} // namespace
} // namespace veltrano
