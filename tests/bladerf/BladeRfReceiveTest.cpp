// SPDX-License-Identifier: MIT
#include "tests/support/ThroughInterface.h"
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <limits>
#include <tuple>

namespace veltrano {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kStamped = "sim-bladerf"; // the library takes timestamps and quick tunes
constexpr const char* kPlain = "sim-bladerf-no-quick-tune";

class BladeRfReceive : public test::BladeRfStreaming {};

const std::vector<std::string> kSettingCalls{"bladerf_set_sample_rate", "bladerf_set_frequency",
                                             "bladerf_set_bandwidth",   "bladerf_set_gain_mode",
                                             "bladerf_set_gain",        "bladerf_get_quick_tune"};

// The setting calls a receive configuration makes, with the values the library gets.
std::vector<std::string> settingCalls(const char* rate, const char* frequency, const char* bandwidth, const char* gain)
{
    return {"bladerf_get_frequency_range 0 -> 0",
            std::string("bladerf_set_sample_rate 0 ") + rate + " -> 0",
            std::string("bladerf_set_frequency 0 ") + frequency + " -> 0",
            std::string("bladerf_set_bandwidth 0 ") + bandwidth + " -> 0",
            "bladerf_set_gain_mode 0 1 -> 0",
            std::string("bladerf_set_gain 0 ") + gain + " -> 0",
            "bladerf_get_quick_tune 0 -> 0"};
}

// Never wider than the rate; at least 1 Hz; halves away from zero; no gain
// for NaN; transmit rounds as receive does.
TEST_F(BladeRfReceive, configurationReachesTheLibraryRoundedInOrder)
{
    struct Case {
        StreamDirection direction;
        StreamConfig config;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {StreamDirection::rx, config(915e6, 10e6, 0.0, 30.5), settingCalls("10000000", "915000000", "7500000", "31")},
        {StreamDirection::rx, config(915000000.5, 10e6, 20e6, -2.5),
         settingCalls("10000000", "915000001", "10000000", "-3")},
        {StreamDirection::rx, config(100e6, 2000000.5, 0.5, kNaN), settingCalls("2000001", "100000000", "1", "0")},
        {StreamDirection::tx,
         config(915000000.5, 10e6, 20e6, 30.5),
         {"bladerf_get_frequency_range 1 -> 0", "bladerf_set_sample_rate 1 10000000 -> 0",
          "bladerf_set_frequency 1 915000001 -> 0", "bladerf_set_bandwidth 1 10000000 -> 0",
          "bladerf_set_gain 1 31 -> 0"}},
    };
    std::vector<std::string> watched = kSettingCalls;
    watched.emplace_back("bladerf_get_frequency_range");
    BladeRfSdrDevice& device = open();
    for (const Case& testCase : cases) {
        const std::size_t from = journalLength();
        const bool rx = testCase.direction == StreamDirection::rx;
        EXPECT_TRUE(rx ? device.configureRx(testCase.config) : device.configureTx(testCase.config));
        EXPECT_THAT(callsOf(watched, from), ElementsAreArray(testCase.calls));
        if (rx) {
            EXPECT_EQ(device.actualRxSampleRateHz(), std::round(testCase.config.sampleRateHz));
        }
    }
}

TEST_F(BladeRfReceive, configurationIsRefusedBeforeAnyLibraryCallInEitherDirection)
{
    // Outside 70 MHz .. 6 GHz, or within 1 Hz of its top, or no usable rate.
    const StreamConfig refused[] = {
        config(915e6, 4294967296.0), config(915e6, 0.0), config(915e6, kNaN), config(0.0), config(kNaN), config(-1e6),
        config(69999999.5),          config(69999999.0), config(5999999999.5)};
    BladeRfSdrDevice& device = open();
    for (const StreamConfig& settings : refused) {
        EXPECT_FALSE(device.configureRx(settings)) << settings.frequencyHz << " " << settings.sampleRateHz;
        EXPECT_FALSE(device.configureTx(settings)) << settings.frequencyHz << " " << settings.sampleRateHz;
    }
    EXPECT_THAT(callsOf(kSettingCalls), IsEmpty());
    EXPECT_FALSE(device.startRx()); // never configured
    EXPECT_FALSE(device.startTx());
}

TEST_F(BladeRfReceive, aFailingSettingStopsTheConfigurationAndKeepsTheOldOne)
{
    const std::vector<std::string> settings(kSettingCalls.begin(), kSettingCalls.end() - 1); // all but the cache read
    // Each setting fails on its second call, so each configuration after the
    // first fails one setting further on.
    std::string script;
    for (const std::string& setting : settings) {
        script += "fail " + setting + " 2 -1\n";
    }
    BladeRfSdrDevice& device = open(script);
    ASSERT_TRUE(device.configureRx(config(915e6, 2e6)));
    for (const std::string& failing : settings) {
        const std::size_t from = journalLength();
        EXPECT_FALSE(device.configureRx(config(100e6, 4e6))) << failing;
        EXPECT_EQ(device.actualRxSampleRateHz(), 2e6);
        const auto calls = callsOf(kSettingCalls, from);
        ASSERT_FALSE(calls.empty());
        // Nothing after the failing call.
        EXPECT_THAT(calls.back(), AllOf(StartsWith(failing + " "), EndsWith("-> -1")));
    }
}

struct StreamFormatCase {
    std::string name;
    std::string script;
    std::string variant;
    std::vector<std::string> configs;
};

class BladeRfStreamFormat : public test::BladeRfStreaming, public ::testing::WithParamInterface<StreamFormatCase> {};

TEST_P(BladeRfStreamFormat, followsTheQuickTuneCache)
{
    BladeRfSdrDevice& device = openConfigured(GetParam().script, GetParam().variant);
    EXPECT_TRUE(device.startRx());
    EXPECT_TRUE(device.startRx()); // already running: nothing configured again
    EXPECT_THAT(bladeRf().calls("bladerf_sync_config"), ElementsAreArray(GetParam().configs));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"), ElementsAre("bladerf_enable_module 0 1 -> 0"));
}

// A plain stream keeps the timestamps too, to see its gaps; only a library
// that refuses them gets the format without.
const std::string kWithTimestamps = "bladerf_sync_config 0 1 64 16384 16 250 -> 0";
const std::string kPlainStream = "bladerf_sync_config 0 0 64 16384 16 250 -> 0";

const StreamFormatCase kFormats[] = {
    {"timestamped", "", kStamped, {kWithTimestamps}},
    {"packedMetadataFromLibrary2_6", "version 2 6 0\n", kStamped, {"bladerf_sync_config 0 2 64 16384 16 250 -> 0"}},
    {"plainWithoutQuickTune", "", kPlain, {kWithTimestamps}},
    {"plainWithNothingCached", "fail bladerf_get_quick_tune 1 -1\n", kStamped, {kWithTimestamps}},
    {"plainWhenTimestampsAreRefused",
     "fail bladerf_sync_config 1 -1\n",
     kStamped,
     {"bladerf_sync_config 0 1 64 16384 16 250 -> -1", kPlainStream}},
    {"plainWithoutTimestampsWhereTheLibraryHasNone",
     "metadata off\n",
     kPlain,
     {"bladerf_sync_config 0 1 64 16384 16 250 -> -8", kPlainStream}},
};
INSTANTIATE_TEST_SUITE_P(Cases, BladeRfStreamFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return info.param.name; });

// Float reads and native reads share every rule of the stream.
class BladeRfReadKinds : public test::BladeRfStreaming, public ::testing::WithParamInterface<bool> {};

TEST_P(BladeRfReadKinds, readsAreWholeMultiplesOf1024UpToOneStreamBuffer)
{
    BladeRfSdrDevice& device = receiving("", kPlain);
    EXPECT_EQ(test::timestampsRead(device, GetParam(), 100), test::timestampsFrom(0, 100));
    // The rest of that 1024-sample read is dropped, and counted.
    EXPECT_EQ(test::lossesOf(device).rxDiscardedSamples, 924u);
    EXPECT_EQ(test::timestampsRead(device, GetParam(), 40000), test::timestampsFrom(1024, 40000));
    EXPECT_EQ(test::lossesOf(device).rxDiscardedSamples, 924u + 960u); // 40000 = 2 x 16384 + 8192 - 960
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
    EXPECT_THAT(bladeRf().calls("bladerf_sync_rx"),
                ElementsAre("bladerf_sync_rx 1024 100 now ts=0 actual=1024 -> 0",
                            "bladerf_sync_rx 16384 100 now ts=1024 actual=16384 -> 0",
                            "bladerf_sync_rx 16384 100 now ts=17408 actual=16384 -> 0",
                            "bladerf_sync_rx 8192 100 now ts=33792 actual=8192 -> 0"));
}

// Samples the library dropped (rx-gap: its buffers were full) are counted in
// either stream: once per gap, with their number, whether the library flagged
// the gap within a read or a read began past it. A plain read still returns
// every sample asked for; a timestamped call ends at a gap it meets.
class BladeRfGaps : public test::BladeRfStreaming,
                    public ::testing::WithParamInterface<std::tuple<bool, bool, bool>> {};

TEST_P(BladeRfGaps, areCountedOnceWithTheirSamples)
{
    const auto& [timestamped, withinARead, native] = GetParam();
    BladeRfSdrDevice& device =
        receiving(withinARead ? "rx-gap 20000 5000\n" : "rx-gap 1024 3001\n", timestamped ? kStamped : kPlain);
    std::vector<std::uint64_t> expected = test::timestampsFrom(0, withinARead ? 20000 : 100);
    if (withinARead && !timestamped) {
        const auto after = test::timestampsFrom(25000, 20000);
        expected.insert(expected.end(), after.begin(), after.end());
    }
    EXPECT_EQ(test::timestampsRead(device, native, withinARead ? 40000 : 100), expected);
    if (timestamped || !withinARead) { // the call that met the gap, or the read begun past it
        EXPECT_EQ(test::timestampsRead(device, native, 100), test::timestampsFrom(withinARead ? 25000 : 4025, 100));
    }
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 1u);
    EXPECT_EQ(test::lossesOf(device).rxLostSamples, withinARead ? 5000u : 3001u);
    device.stopRx();
    ASSERT_TRUE(device.startRx());
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u); // both counted per stream
    EXPECT_EQ(test::lossesOf(device).rxLostSamples, 0u);
}

// After a loss libbladeRF may hand a buffer out after a later one: here the
// samples [1024, 2048) are lost and [2048, 3072) come after [3072, 4096).
// The step back is a gap of its own, counted once as each step forward is,
// and the lost count, the sum of the forward steps, is an upper bound: 3072
// for the 1024 samples truly lost. Each timestamped call stays contiguous.
TEST_P(BladeRfGaps, aBufferHandedOutOfOrderIsAGapOfItsOwnAndTheLossAnUpperBound)
{
    const auto& [timestamped, withinARead, native] = GetParam();
    BladeRfSdrDevice& device =
        receiving("rx-jump 1024 3072\nrx-jump 4096 2048\nrx-jump 3072 4096\n", timestamped ? kStamped : kPlain);
    std::vector<std::uint64_t> expected;
    for (const std::uint64_t first : {0, 3072, 2048, 4096}) {
        const auto piece = test::timestampsFrom(first, 1024);
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    std::vector<std::uint64_t> delivered;
    for (int call = 0; call < 4 && delivered.size() < expected.size(); ++call) {
        const auto got = test::timestampsRead(device, native, withinARead ? 4096 : 1024);
        ASSERT_FALSE(got.empty());
        if (timestamped) {
            EXPECT_EQ(got, test::timestampsFrom(got.front(), got.size())) << "call " << call;
        }
        delivered.insert(delivered.end(), got.begin(), got.end());
    }
    ASSERT_GE(delivered.size(), expected.size());
    delivered.resize(expected.size());
    EXPECT_EQ(delivered, expected);
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 3u);
    EXPECT_EQ(test::lossesOf(device).rxLostSamples, 2048u + 1024u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BladeRfGaps,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "timestamped" : "plain") +
                                    (std::get<1>(info.param) ? "WithinARead" : "BetweenReads") +
                                    (std::get<2>(info.param) ? "_native" : "_float");
                         });

TEST_P(BladeRfReadKinds, timestampedReadsAreContiguousAcrossShortReadsAndCountOverruns)
{
    BladeRfSdrDevice& device = receiving("sync-rx 1 actual=500\nsync-rx 3 overrun\n");
    EXPECT_EQ(test::timestampsRead(device, GetParam(), 2000), test::timestampsFrom(0, 2000));
    ASSERT_EQ(test::timestampsRead(device, GetParam(), 100).size(), 100u); // a new call takes what comes next
    EXPECT_THAT(bladeRf().calls("bladerf_sync_rx"),
                ElementsAre("bladerf_sync_rx 2048 100 now ts=0 actual=500 -> 0",
                            "bladerf_sync_rx 2048 100 at=500 ts=500 actual=2048 -> 0",
                            "bladerf_sync_rx 1024 100 now ts=2548 actual=1024 -> 0"));
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 1u);
}

INSTANTIATE_TEST_SUITE_P(Reads, BladeRfReadKinds, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "native" : "float"; });

// A time-out only says nothing came; a failure says why. Vanished boards are
// the real library's fault tests.
TEST_F(BladeRfReceive, aFailedReadEndsTheCallWithWhatItHas)
{
    BladeRfSdrDevice& device = receiving("fail bladerf_sync_rx 2 timeout\nfail bladerf_sync_rx 3 -5\n", kPlain);
    std::vector<std::complex<float>> samples(40000);
    EXPECT_EQ(device.readSamples(samples.data(), samples.size()), 16384u); // timed out after 100 ms
    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.readSamples(samples.data(), samples.size()), 0u);
    EXPECT_EQ(device.lastError(), "RX stream stopped: File or device I/O failure");
    EXPECT_EQ(device.readSamples(samples.data(), 1), 1u); // the stream goes on
}

// A stream that cannot start (its format refused, then its channel) is not
// running and stays configurable; a second start changes nothing; stopping
// disables the channel once and ends the samples; a stopped stream starts
// again, with or without a new configuration; destroying a streaming device
// disables the channel before closing.
class BladeRfStartStop : public test::BladeRfStreaming, public ::testing::WithParamInterface<StreamDirection> {};

TEST_P(BladeRfStartStop, followsTheChannel)
{
    const bool tx = GetParam() == StreamDirection::tx;
    // Receive asks for timestamps first, then for the plain format.
    BladeRfSdrDevice& device = open(std::string(tx ? "" : "fail bladerf_sync_config 2 -1\n") +
                                        "fail bladerf_sync_config 1 -1\nfail bladerf_enable_module 1 -1\n",
                                    kPlain);
    const auto configure = [&](double hz) {
        return tx ? device.configureTx(config(hz)) : device.configureRx(config(hz));
    };
    const auto start = [&] { return tx ? device.startTx() : device.startRx(); };
    const auto stop = [&] { tx ? device.stopTx() : device.stopRx(); };
    std::complex<float> sample{0.5F, 0.5F};
    const auto move = [&](std::complex<float>* samples, std::size_t count) {
        return tx ? device.writeSamples(samples, count) : device.readSamples(samples, count);
    };
    stop(); // harmless while idle
    ASSERT_TRUE(configure(915e6));
    EXPECT_FALSE(start()); // the stream's format is refused
    EXPECT_FALSE(start()); // the channel is refused
    EXPECT_EQ(move(&sample, 1), 0u);
    EXPECT_TRUE(configure(915e6)) << "not streaming, so configurable";
    ASSERT_TRUE(start());
    const std::size_t formats = bladeRf().calls("bladerf_sync_config").size();
    EXPECT_TRUE(start());
    EXPECT_EQ(bladeRf().calls("bladerf_sync_config").size(), formats);
    EXPECT_EQ(move(nullptr, 1), 0u);
    EXPECT_EQ(move(&sample, 0), 0u);
    stop();
    stop();
    EXPECT_EQ(move(&sample, 1), 0u);
    EXPECT_THAT(bladeRf().calls(tx ? "bladerf_sync_tx" : "bladerf_sync_rx"), IsEmpty());
    ASSERT_TRUE(start());
    stop();
    EXPECT_TRUE(configure(100e6));
    ASSERT_TRUE(start());
    const std::string enable = std::string("bladerf_enable_module ") + (tx ? "1 " : "0 ");
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"),
                ElementsAre(enable + "1 -> -1", enable + "1 -> 0", enable + "0 -> 0", enable + "1 -> 0",
                            enable + "0 -> 0", enable + "1 -> 0"));
    close();
    const auto journal = bladeRf().journal();
    EXPECT_THAT(std::vector(journal.end() - 2, journal.end()), ElementsAre(enable + "0 -> 0", "bladerf_close"));
}

INSTANTIATE_TEST_SUITE_P(Directions, BladeRfStartStop, ::testing::Values(StreamDirection::rx, StreamDirection::tx),
                         [](const auto& info) { return info.param == StreamDirection::tx ? "transmit" : "receive"; });

} // namespace
} // namespace veltrano
