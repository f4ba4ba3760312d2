// SPDX-License-Identifier: MIT
// Live control through the simulated libhackrf: every change reaches the
// running board with no stop or start in between, a rate change drops what
// was taken at the old rate, and nothing hostile reaches the library. The pace after a live rate change is the
// real-library test's (RealLibLiveControl).
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <functional>
#include <limits>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr auto rx = StreamDirection::rx;
constexpr auto tx = StreamDirection::tx;

using HackRfLiveControl = test::HackRfStreamTest;

using test::bytesOf;

struct LiveChange {
    const char* name;
    std::function<bool(ISdrDevice&)> change;
    std::vector<std::string> calls; // what reaches the library, in order
    std::function<bool(const ISdrDevice&)> inForce;
    double filterHz; // the receive filter on the board afterwards, as the device reports it
};

// Each change made while the receive stream runs: the library calls it
// needs, nothing else (no stop, no start), and the value reads back. The
// library sets its own filter with every rate (three quarters of the rate,
// rounded down to a width the transceiver has) until the caller chooses one,
// which then goes back on after each rate. The VGA and the overall gain are
// the module's live-control test's.
TEST_F(HackRfLiveControl, eachChangeReachesTheRunningBoardAloneAndReadsBack)
{
    const LiveChange changes[] = {
        {"lna",
         [](ISdrDevice& d) { return d.setGainStage(rx, "LNA", 21); },
         {"hackrf_set_lna_gain 24 -> 0"},
         [](const ISdrDevice& d) { return d.gainStageDb(rx, "LNA") == 24.0 && d.gainDb(rx) == 28.0; },
         7e6},
        {"amp",
         [](ISdrDevice& d) { return d.setGainStage(rx, "AMP", 14); },
         {"hackrf_set_amp_enable 1 -> 0"},
         [](const ISdrDevice& d) { return d.gainStageDb(rx, "AMP") == 14.0 && d.gainDb(rx) == 28.0; },
         7e6},
        {"rate",
         [](ISdrDevice& d) { return d.setSampleRate(rx, 8e6); },
         {"hackrf_set_sample_rate 8000000 -> 0"},
         [](const ISdrDevice& d) { return d.actualRxSampleRateHz() == 8e6; },
         6e6},
        {"bandwidth",
         [](ISdrDevice& d) { return d.setBandwidth(rx, 4.5e6); },
         {"hackrf_compute_baseband_filter_bw 5000000 -> 5000000", "hackrf_set_baseband_filter_bandwidth 5000000 -> 0"},
         [](const ISdrDevice&) { return true; },
         5e6},
        {"rateAfterAChosenBandwidth",
         [](ISdrDevice& d) { return d.setSampleRate(rx, 20e6); },
         {"hackrf_set_sample_rate 20000000 -> 0", "hackrf_set_baseband_filter_bandwidth 5000000 -> 0"},
         [](const ISdrDevice& d) { return d.actualRxSampleRateHz() == 20e6; },
         5e6},
        {"antennaPower",
         [](ISdrDevice& d) { return d.setBiasTee(tx, true); },
         {"hackrf_set_antenna_enable 1 -> 0"},
         [](const ISdrDevice& d) { return d.biasTee(rx) && d.biasTee(tx); },
         5e6},
    };
    startReceiving();
    for (const LiveChange& live : changes) {
        SCOPED_TRACE(live.name);
        const std::size_t before = hackRf().journal().size();
        ASSERT_TRUE(live.change(device())) << device().lastError();
        EXPECT_THAT(journalFrom(before), ElementsAreArray(live.calls));
        EXPECT_TRUE(live.inForce(device()));
        EXPECT_EQ(sim().basebandFilter(), live.filterHz);
        EXPECT_EQ(device().bandwidthHz(rx), live.filterHz);
    }
}

// That a gain change loses no sample is the real library's live-control test's.
TEST_F(HackRfLiveControl, aRateChangeDropsWhatCameBefore)
{
    startReceiving();
    ASSERT_EQ(deliver(test::bytesCounting(999 * 2, 7)), 0);
    ASSERT_TRUE(device().setSampleRate(rx, 4e6));
    // Bytes taken before and while the clock settles never arrive.
    const std::vector<std::uint8_t> settling(kRetuneDiscardBytes / 4, 0x55);
    for (int transfer = 0; transfer < 4; ++transfer) {
        ASSERT_EQ(deliver(settling), 0);
    }
    ASSERT_EQ(deliver({1, 2, 3, 4}), 0);
    EXPECT_THAT(bytesOf(read(100)), ElementsAre(1, 2, 3, 4));
    EXPECT_THAT(calls("hackrf_stop_rx"), IsEmpty());
}

// Nothing outside a setting's range, no unknown name and no change for a
// chain while the other streams reaches the library; the setting stays.
TEST_F(HackRfLiveControl, hostileValuesAndNamesAreRefusedWithoutALibraryCall)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, std::function<bool(ISdrDevice&)>> refusals[] = {
        {"nanStage", [=](ISdrDevice& d) { return d.setGainStage(rx, "LNA", nan); }},
        {"infStage", [=](ISdrDevice& d) { return d.setGainStage(rx, "VGA", inf); }},
        {"negativeStage", [](ISdrDevice& d) { return d.setGainStage(rx, "VGA", -2); }},
        {"aboveStage", [](ISdrDevice& d) { return d.setGainStage(rx, "LNA", 40.5); }},
        {"aboveTxStage", [](ISdrDevice& d) { return d.setGainStage(tx, "VGA", 48); }},
        {"rxStageOnTx", [](ISdrDevice& d) { return d.setGainStage(tx, "LNA", 8); }},
        {"unknownStage", [](ISdrDevice& d) { return d.setGainStage(rx, "IF", 8); }},
        {"emptyStage", [](ISdrDevice& d) { return d.setGainStage(rx, "", 0); }},
        {"lowerCaseStage", [](ISdrDevice& d) { return d.setGainStage(rx, "lna", 8); }},
        {"nanGain", [=](ISdrDevice& d) { return d.setGain(rx, nan); }},
        {"minusInfGain", [=](ISdrDevice& d) { return d.setGain(rx, -inf); }},
        {"aboveGain", [](ISdrDevice& d) { return d.setGain(rx, 103); }},
        {"negativeTxGain", [](ISdrDevice& d) { return d.setGain(tx, -1); }},
        {"nanRate", [=](ISdrDevice& d) { return d.setSampleRate(rx, nan); }},
        {"lowRate", [](ISdrDevice& d) { return d.setSampleRate(rx, 1e6); }},
        {"highRate", [=](ISdrDevice& d) { return d.setSampleRate(rx, inf); }},
        {"nanBandwidth", [=](ISdrDevice& d) { return d.setBandwidth(rx, nan); }},
        {"narrowBandwidth", [](ISdrDevice& d) { return d.setBandwidth(rx, 1e6); }},
        {"wideBandwidth", [](ISdrDevice& d) { return d.setBandwidth(rx, 28'000'001); }},
        {"negativeBandwidth", [](ISdrDevice& d) { return d.setBandwidth(rx, -5e6); }},
        {"txWhileReceiving", [](ISdrDevice& d) { return d.setGain(tx, 10); }},
        {"txRateWhileReceiving", [](ISdrDevice& d) { return d.setSampleRate(tx, 4e6); }},
        {"automaticGain", [](ISdrDevice& d) { return d.setAutomaticGain(rx, true); }},
    };
    startReceiving();
    for (const auto& [name, change] : refusals) {
        SCOPED_TRACE(name);
        const std::size_t before = hackRf().journal().size();
        EXPECT_FALSE(change(device()));
        EXPECT_EQ(hackRf().journal().size(), before); // no library call
        EXPECT_EQ(device().gainDb(rx), 20.0);
        EXPECT_EQ(device().actualRxSampleRateHz(), 10e6);
        EXPECT_EQ(device().bandwidthHz(rx), 7e6);
    }
    EXPECT_FALSE(device().supportsAutomaticGain(rx));
}

TEST_F(HackRfLiveControl, aChangeTheLibraryRefusesLeavesTheValueInForce)
{
    openBoard("fail hackrf_set_txvga_gain -1000 1\nfail hackrf_set_antenna_enable -1000 1\n");
    EXPECT_FALSE(device().setGainStage(tx, "VGA", 30));
    EXPECT_EQ(device().lastError(), "set TX VGA gain: HACKRF_ERROR_LIBUSB");
    EXPECT_EQ(device().gainStageDb(tx, "VGA"), 0.0);
    EXPECT_FALSE(device().setBiasTee(rx, true));
    EXPECT_FALSE(device().biasTee(rx));
    EXPECT_TRUE(device().setGainStage(tx, "VGA", 30));
    EXPECT_EQ(device().gainDb(tx), 30.0);
}

} // namespace
} // namespace veltrano
