// SPDX-License-Identifier: MIT
#include "tests/support/ThroughInterface.h"
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <limits>
#include <sstream>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class BladeRfFastRetune : public test::BladeRfStreaming {
protected:
    // Where the next read starts, as the simulator saw it.
    std::string nextReadStart(BladeRfSdrDevice& device)
    {
        std::complex<float> sample;
        EXPECT_EQ(device.readSamples(&sample, 1), 1u);
        std::istringstream line(bladeRf().calls("bladerf_sync_rx").back());
        std::string call, samples, timeout, start;
        line >> call >> samples >> timeout >> start;
        return start;
    }

    static std::vector<std::uint64_t> counters(const BladeRfSdrDevice& device)
    {
        return {device.fastRxRetuneCount(), device.regularRxRetuneCount(), device.failedFastRxRetuneCount(),
                static_cast<std::uint64_t>(static_cast<std::int64_t>(device.lastFastRxRetuneError()))};
    }
};

TEST_F(BladeRfFastRetune, needsAllThreeQuickTuneCallsOfTheLibrary)
{
    BladeRfSdrDevice& device = openConfigured("", "sim-bladerf-no-quick-tune");
    EXPECT_FALSE(device.supportsFastRxRetune());
    EXPECT_TRUE(device.prepareRxFrequencies({100e6, 200e6})); // nothing to prepare
    EXPECT_THAT(bladeRf().calls("bladerf_set_frequency"), ElementsAre("bladerf_set_frequency 0 915000000 -> 0"));
    ASSERT_TRUE(device.startRx());
    EXPECT_TRUE(device.setRxFrequency(100e6));
    EXPECT_THAT(counters(device), ElementsAre(0, 1, 0, 0));
}

TEST_F(BladeRfFastRetune, preparingVisitsEachFrequencyOnceAndTunesBack)
{
    BladeRfSdrDevice& device = openConfigured();
    EXPECT_TRUE(device.supportsFastRxRetune());
    const std::size_t from = journalLength();
    // Keys are whole Hz, halves away from zero: the first two share one entry.
    EXPECT_TRUE(device.prepareRxFrequencies({915000000.4, 915e6, 915000000.5}));
    EXPECT_THAT(callsOf({"bladerf_set_frequency", "bladerf_get_quick_tune"}, from),
                ElementsAre("bladerf_set_frequency 0 915000000 -> 0", "bladerf_get_quick_tune 0 -> 0",
                            "bladerf_set_frequency 0 915000000 -> 0", "bladerf_get_quick_tune 0 -> 0",
                            "bladerf_set_frequency 0 915000001 -> 0", "bladerf_get_quick_tune 0 -> 0",
                            "bladerf_set_frequency 0 915000000 -> 0"));
    EXPECT_TRUE(device.prepareRxFrequencies({})); // keeps what is cached
    ASSERT_TRUE(device.startRx());
    EXPECT_FALSE(device.prepareRxFrequencies({100e6})); // not while streaming
    EXPECT_TRUE(device.setRxFrequency(915000000.3));
    EXPECT_TRUE(device.setRxFrequency(915000000.5));
    EXPECT_THAT(bladeRf().calls("bladerf_schedule_retune"),
                ElementsAre("bladerf_schedule_retune 0 0 0 quick-tune 915000000 -> 0",
                            "bladerf_schedule_retune 0 0 0 quick-tune 915000001 -> 0"));
    EXPECT_THAT(counters(device), ElementsAre(2, 0, 0, 0));
}

TEST_F(BladeRfFastRetune, anIncompletePreparationLeavesNothingCached)
{
    BladeRfSdrDevice& device = openConfigured("fail bladerf_get_quick_tune 4 -1\n");
    const std::size_t from = journalLength();
    EXPECT_FALSE(device.prepareRxFrequencies({100e6, kNaN, 200e6}));
    EXPECT_THAT(callsOf({"bladerf_set_frequency"}, from),
                ElementsAre("bladerf_set_frequency 0 100000000 -> 0", "bladerf_set_frequency 0 915000000 -> 0"));
    EXPECT_FALSE(device.prepareRxFrequencies({300e6, 400e6})); // its quick-tune read fails
    ASSERT_TRUE(device.startRx());
    // Nothing cached (not even the configured frequency): the stream is plain,
    // so a retune takes no timestamp for the reads to resume from.
    EXPECT_TRUE(device.setRxFrequency(300e6));
    EXPECT_THAT(bladeRf().calls("bladerf_get_timestamp"), IsEmpty());
}

TEST_F(BladeRfFastRetune, preparedHopsAreQuickAndOthersAreCachedForNextTime)
{
    BladeRfSdrDevice& device = streamWithHops({100e6, 200e6});
    const std::size_t from = journalLength(); // unusable frequencies change nothing
    for (const double frequencyHz : {0.0, -1e6, kNaN, std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(device.setRxFrequency(frequencyHz));
    }
    EXPECT_THAT(counters(device), ElementsAre(0, 0, 0, 0));
    EXPECT_THAT(callsOf({"bladerf_set_frequency", "bladerf_schedule_retune"}, from), IsEmpty());
    EXPECT_TRUE(device.setRxFrequency(200e6));
    EXPECT_THAT(counters(device), ElementsAre(1, 0, 0, 0));
    EXPECT_EQ(nextReadStart(device), "at=4096"); // settled from the retune's timestamp (0) on
    EXPECT_EQ(nextReadStart(device), "now");     // then whatever comes next: 5120 to 6143
    EXPECT_TRUE(device.setRxFrequency(300e6));
    EXPECT_THAT(counters(device), ElementsAre(1, 1, 0, 0));
    EXPECT_EQ(nextReadStart(device), "at=10240");
    EXPECT_TRUE(device.setRxFrequency(300e6));
    EXPECT_THAT(counters(device), ElementsAre(2, 1, 0, 0));
    EXPECT_THAT(bladeRf().calls("bladerf_schedule_retune"),
                ElementsAre("bladerf_schedule_retune 0 0 0 quick-tune 200000000 -> 0",
                            "bladerf_schedule_retune 0 0 0 quick-tune 300000000 -> 0"));
}

TEST_F(BladeRfFastRetune, settlingIsHalfAMillisecondOfSamplesAtLeast4096)
{
    BladeRfSdrDevice& device = streamWithHops({100e6}, "get-timestamp 0\n");
    for (const auto& [sampleRateHz, start] : {std::pair{2e6, "at=4096"}, {20e6, "at=10000"}, {61.44e6, "at=30720"}}) {
        device.stopRx();
        ASSERT_TRUE(device.configureRx(config(915e6, sampleRateHz)));
        ASSERT_TRUE(device.startRx());
        EXPECT_TRUE(device.setRxFrequency(915e6));
        EXPECT_EQ(nextReadStart(device), start) << sampleRateHz;
    }
}

TEST_F(BladeRfFastRetune, aReaderTooLateForTheSettledSamplesCountsTheLossAndReadsOnFromNow)
{
    BladeRfSdrDevice& device = streamWithHops({100e6}, "get-timestamp 0\nfail bladerf_sync_rx 1 -14\n");
    EXPECT_TRUE(device.setRxFrequency(100e6));
    EXPECT_EQ(nextReadStart(device), "now"); // the settled samples' read failed
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 1u);
    EXPECT_EQ(device.lastError(), "");
    EXPECT_THAT(bladeRf().calls("bladerf_sync_rx"), ElementsAre("bladerf_sync_rx 1024 100 at=4096 -> -14",
                                                                "bladerf_sync_rx 1024 100 now ts=0 actual=1024 -> 0"));
}

TEST_F(BladeRfFastRetune, aFailedQuickRetuneFallsBackToARegularOne)
{
    // Calls of set_frequency: 1 configures, 2 to 4 prepare, 5 on are the hops'.
    BladeRfSdrDevice& device =
        streamWithHops({100e6, 200e6}, "fail bladerf_schedule_retune 1 -5\nfail bladerf_get_timestamp 2 -6\n"
                                       "fail bladerf_schedule_retune 4 -4\nfail bladerf_set_frequency 7 -2\n"
                                       "fail bladerf_set_frequency 8 -3\n");
    EXPECT_TRUE(device.setRxFrequency(100e6)); // schedule fails
    EXPECT_THAT(counters(device), ElementsAre(0, 1, 1, static_cast<std::uint64_t>(-5)));
    EXPECT_TRUE(device.setRxFrequency(200e6)); // timestamp fails
    EXPECT_THAT(counters(device), ElementsAre(0, 2, 2, static_cast<std::uint64_t>(-6)));
    EXPECT_TRUE(device.setRxFrequency(100e6)); // quick again, clears the code
    EXPECT_THAT(counters(device), ElementsAre(1, 2, 2, 0));
    // Both fail: the quick failure's code stays.
    EXPECT_FALSE(device.setRxFrequency(200e6));
    EXPECT_THAT(counters(device), ElementsAre(1, 2, 3, static_cast<std::uint64_t>(-4)));
    // Only a regular retune tried: its code.
    EXPECT_FALSE(device.setRxFrequency(600e6));
    EXPECT_THAT(counters(device), ElementsAre(1, 2, 3, static_cast<std::uint64_t>(-3)));
}

} // namespace
} // namespace veltrano
