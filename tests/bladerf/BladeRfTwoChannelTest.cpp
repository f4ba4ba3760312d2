// SPDX-License-Identifier: MIT
// Both channels of a bladeRF 2.0's direction through the device layer, on the
// simulated library: channel 1 hears channel 0's pattern with I and Q
// exchanged, and a two-channel capture is kept per channel beside the stream.
#include "tests/support/ThroughInterface.h"
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace veltrano {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kStamped = "sim-bladerf"; // the library takes timestamps and quick tunes
constexpr const char* kPlain = "sim-bladerf-no-quick-tune";

// The timestamps a channel's native values name; channel 1's with I and Q exchanged back.
std::vector<std::uint64_t> timestampsOf(const std::vector<std::int16_t>& values, std::size_t count, bool exchanged)
{
    std::vector<std::uint64_t> timestamps(count);
    for (std::size_t index = 0; index < count; ++index) {
        const std::int16_t i = values[2 * index + (exchanged ? 1 : 0)];
        const std::int16_t q = values[2 * index + (exchanged ? 0 : 1)];
        timestamps[index] = static_cast<std::uint64_t>(i + 2048) + 4096 * static_cast<std::uint64_t>(q + 2048);
    }
    return timestamps;
}

// One call's per-channel timestamps, floats or native values.
std::vector<std::vector<std::uint64_t>> readBoth(ISdrDevice& device, bool native, std::size_t count)
{
    std::vector<std::int16_t> values[2] = {std::vector<std::int16_t>(2 * count), std::vector<std::int16_t>(2 * count)};
    std::size_t got = 0;
    if (native) {
        void* buffers[2] = {values[0].data(), values[1].data()};
        got = device.readNativeChannelSamples(buffers, count);
    } else {
        std::vector<std::complex<float>> samples[2] = {std::vector<std::complex<float>>(count),
                                                       std::vector<std::complex<float>>(count)};
        std::complex<float>* buffers[2] = {samples[0].data(), samples[1].data()};
        got = device.readChannelSamples(buffers, count);
        for (int channel = 0; channel < 2; ++channel) {
            for (std::size_t index = 0; index < got; ++index) {
                values[channel][2 * index] =
                    static_cast<std::int16_t>(std::lround(samples[channel][index].real() * 2048));
                values[channel][2 * index + 1] =
                    static_cast<std::int16_t>(std::lround(samples[channel][index].imag() * 2048));
            }
        }
    }
    return {timestampsOf(values[0], got, false), timestampsOf(values[1], got, true)};
}

class BladeRfTwoChannels : public test::BladeRfStreaming {
protected:
    BladeRfSdrDevice& receivingBoth(const std::string& script = "", const std::string& variant = kStamped)
    {
        BladeRfSdrDevice& device = open(script, variant);
        EXPECT_TRUE(device.setStreamChannels(StreamDirection::rx, {0, 1})) << device.lastError();
        EXPECT_TRUE(device.configureRx(config(915e6)));
        EXPECT_TRUE(device.startRx());
        return device;
    }
};

// Both streams the library offers: the one for quick retunes and the plain
// one, each with timestamps. Calls follow on from each other, every library
// read asks for whole pairs, and each call is stamped with its first pair's time.
class BladeRfTwoChannelReceive : public BladeRfTwoChannels,
                                 public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(BladeRfTwoChannelReceive, bothChannelsCarryTheBoardsSamplesAlignedAndStamped)
{
    const auto& [variant, native] = GetParam();
    BladeRfSdrDevice& device = receivingBoth("", variant);
    EXPECT_THAT(bladeRf().calls("bladerf_sync_config"), ElementsAre(HasSubstr("bladerf_sync_config 2 ")));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"),
                ElementsAre("bladerf_enable_module 0 1 -> 0", "bladerf_enable_module 2 1 -> 0"));
    const std::size_t stampedAt = journalLength();
    EXPECT_THAT(readBoth(device, native, 4096),
                ElementsAre(test::timestampsFrom(0, 4096), test::timestampsFrom(0, 4096)));
    EXPECT_EQ(device.readTimeNs(0), 0);
    EXPECT_THAT(readBoth(device, native, 2048),
                ElementsAre(test::timestampsFrom(4096, 2048), test::timestampsFrom(4096, 2048)));
    EXPECT_EQ(device.readTimeNs(1), 4097 * 500); // 2 MS/s: 500 ns a pair
    // Pairs on the library's side: twice the samples each channel gets.
    EXPECT_THAT(callsOf({"bladerf_sync_rx"}, stampedAt),
                ElementsAre(HasSubstr("bladerf_sync_rx 8192 100 now"), HasSubstr("bladerf_sync_rx 4096 100 now")));
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
}

INSTANTIATE_TEST_SUITE_P(StreamsAndFormats, BladeRfTwoChannelReceive,
                         ::testing::Combine(::testing::Values(kStamped, kPlain), ::testing::Bool()));

// Channel 1 alone streams through the one-channel layout on its own library channel.
TEST_F(BladeRfTwoChannels, channelOneAloneIsItsOwnChannel)
{
    BladeRfSdrDevice& device = open();
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::rx, {1}));
    ASSERT_TRUE(device.configureRx(config(915e6)) && device.startRx());
    EXPECT_THAT(bladeRf().calls("bladerf_sync_config"), Contains(HasSubstr("bladerf_sync_config 0 ")));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"), ElementsAre("bladerf_enable_module 2 1 -> 0"));
    std::vector<std::int16_t> values(2 * 1024);
    void* buffers[1] = {values.data()};
    ASSERT_EQ(device.readNativeChannelSamples(buffers, 1024), 1024u);
    EXPECT_EQ(timestampsOf(values, 1024, true), test::timestampsFrom(0, 1024));
}

// A reader that falls behind (the library's buffers full: rx-gap) sees each
// gap once, sized in samples per channel, the same on both channels: a
// timestamped call ends at a gap it meets, a plain one reads on past it.
class BladeRfTwoChannelGaps : public BladeRfTwoChannels,
                              public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(BladeRfTwoChannelGaps, areCountedOnceWithTheirSizeOnBothChannels)
{
    const auto& [timestamped, withinARead] = GetParam();
    BladeRfSdrDevice& device =
        receivingBoth(withinARead ? "rx-gap 20000 5000\n" : "rx-gap 1024 3001\n", timestamped ? kStamped : kPlain);
    std::vector<std::uint64_t> expected = test::timestampsFrom(0, withinARead ? 20000 : 100);
    if (withinARead && !timestamped) {
        const auto after = test::timestampsFrom(25000, 20000);
        expected.insert(expected.end(), after.begin(), after.end());
    }
    EXPECT_THAT(readBoth(device, true, withinARead ? 40000 : 100), ElementsAre(expected, expected));
    if (timestamped || !withinARead) {
        const auto next = test::timestampsFrom(withinARead ? 25000 : 4025, 100);
        EXPECT_THAT(readBoth(device, false, 100), ElementsAre(next, next));
    }
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 1u);
    EXPECT_EQ(test::lossesOf(device).rxLostSamples, withinARead ? 5000u : 3001u);
}

INSTANTIATE_TEST_SUITE_P(StreamsAndPlaces, BladeRfTwoChannelGaps,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// libbladeRF's seek lands half-way with two channels: the start is reached by
// reading on from now and dropping what comes before it, counted.
TEST_F(BladeRfTwoChannels, aTimedStartDeliversThePairTakenAtItsTimeFirst)
{
    BladeRfSdrDevice& device = open();
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::rx, {0, 1}));
    ASSERT_TRUE(device.configureRx(config(915e6)));
    const std::size_t from = journalLength();
    ASSERT_TRUE(device.startRxAt(5'000'000)) << device.lastError(); // tick 10,000 at 2 MS/s
    const auto expected = test::timestampsFrom(10000, 1024);
    EXPECT_THAT(readBoth(device, false, 1024), ElementsAre(expected, expected));
    EXPECT_EQ(device.readTimeNs(0), 5'000'000);
    // The pairs before the start, and the rest of the read that ends the call.
    EXPECT_EQ(test::lossesOf(device).rxDiscardedSamples, 10000u + 240u);
    const auto reads = callsOf({"bladerf_sync_rx"}, from);
    EXPECT_THAT(reads, Not(IsEmpty()));
    EXPECT_THAT(reads, Not(Contains(HasSubstr(" at="))));
}

TEST_F(BladeRfTwoChannels, hostileChannelListsAreRefusedWithWords)
{
    BladeRfSdrDevice& device = open("board serial=ONE rx=1 tx=1\n");
    EXPECT_EQ(device.channelCount(StreamDirection::rx), 2u);
    struct Case {
        std::vector<std::size_t> channels;
        const char* words;
    };
    for (const StreamDirection direction : {StreamDirection::rx, StreamDirection::tx}) {
        for (const Case& refused : {Case{{}, "empty"}, Case{{1, 1}, "channel 1 is listed twice"},
                                    Case{{0, 2}, "channel 2 is out of range"}, Case{{0, 1, 0}, "listed twice"}}) {
            EXPECT_FALSE(device.setStreamChannels(direction, refused.channels));
            EXPECT_THAT(device.lastError(), HasSubstr(refused.words));
            EXPECT_EQ(device.streamChannels(direction), std::vector<std::size_t>{0}); // unchanged
        }
    }
    BladeRfSdrDevice one("ONE");
    EXPECT_EQ(one.channelCount(StreamDirection::rx), 1u);
    EXPECT_FALSE(one.setStreamChannels(StreamDirection::rx, {0, 1}));
    EXPECT_THAT(one.lastError(), HasSubstr("channel 1 is out of range (the board has 1)"));

    // Not while the direction streams; the other direction may still choose.
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::rx, {0, 1}));
    ASSERT_TRUE(device.configureRx(config(915e6)) && device.startRx());
    EXPECT_FALSE(device.setStreamChannels(StreamDirection::rx, {0}));
    EXPECT_THAT(device.lastError(), HasSubstr("the stream runs"));
    EXPECT_EQ(device.streamChannels(StreamDirection::rx), (std::vector<std::size_t>{0, 1}));
    EXPECT_TRUE(device.setStreamChannels(StreamDirection::tx, {1}));

    // One buffer cannot hold two channels.
    std::vector<std::complex<float>> samples(1024);
    std::vector<std::int16_t> values(2 * 1024);
    EXPECT_EQ(device.readSamples(samples.data(), 1024), 0u);
    EXPECT_THAT(device.lastError(), HasSubstr("readChannelSamples"));
    EXPECT_EQ(device.readNativeSamples(values.data(), 1024), 0u);
    EXPECT_THAT(device.lastError(), HasSubstr("two channels"));
    EXPECT_THAT(callsOf({"bladerf_sync_rx"}), IsEmpty());
}

// Each channel's samples arrive as they were written, in whole pairs; a
// timed two-channel stream is refused (the library would misplace it).
TEST_F(BladeRfTwoChannels, transmitReachesEachChannelBitExact)
{
    test::TemporaryDirectory directory;
    const auto capture = directory / "sent.bin";
    const test::ScopedEnvironment captured("VELTRANO_SIM_BLADERF_TX_CAPTURE", test::environmentText(capture));
    BladeRfSdrDevice& device = open();
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::tx, {0, 1}));
    ASSERT_TRUE(device.configureTx(config(915e6)));
    EXPECT_FALSE(device.startTimedTx());
    EXPECT_THAT(device.lastError(), HasSubstr("libbladeRF places timed bursts of two channels at the wrong times"));
    ASSERT_TRUE(device.startTx());
    EXPECT_THAT(bladeRf().calls("bladerf_sync_config"), ElementsAre(HasSubstr("bladerf_sync_config 3 ")));
    EXPECT_THAT(bladeRf().calls("bladerf_enable_module"),
                ElementsAre("bladerf_enable_module 1 1 -> 0", "bladerf_enable_module 3 1 -> 0"));
    const std::int16_t first[6] = {-2048, 2047, 1, -1, 700, -700};
    const std::int16_t second[6] = {5, 6, -7, 8, 2047, -2048};
    const void* native[2] = {first, second};
    EXPECT_EQ(device.writeNativeChannelSamples(native, 3), 3u);
    const std::complex<float> floats0[2] = {{0.5F, -0.5F}, {0.25F, 0.0F}};
    const std::complex<float> floats1[2] = {{-1.0F, 1.0F}, {0.0F, -0.25F}};
    const std::complex<float>* buffers[2] = {floats0, floats1};
    EXPECT_EQ(device.writeChannelSamples(buffers, 2), 2u);
    EXPECT_EQ(device.writeSamples(floats0, 2), 0u);
    EXPECT_THAT(device.lastError(), HasSubstr("writeChannelSamples"));
    EXPECT_THAT(bladeRf().calls("bladerf_sync_tx"),
                ElementsAre("bladerf_sync_tx 6 (null) 250 -> 0", "bladerf_sync_tx 4 (null) 250 -> 0"));
    const std::int16_t expected0[10] = {-2048, 2047, 1, -1, 700, -700, 1024, -1024, 512, 0};
    const std::int16_t expected1[10] = {5, 6, -7, 8, 2047, -2048, -2048, 2047, 0, -512};
    for (const auto& [channel, expected] : {std::pair{0, expected0}, std::pair{1, expected1}}) {
        const std::string bytes = test::readTextFile(directory / ("sent.bin.channel" + std::to_string(channel)));
        ASSERT_EQ(bytes.size(), sizeof expected0) << channel;
        EXPECT_EQ(std::memcmp(bytes.data(), expected, sizeof expected0), 0) << channel;
    }
}

// A live change reaches its own channel and leaves the other alone.
TEST_F(BladeRfTwoChannels, aGainChangeWhileStreamingReachesThatChannelOnly)
{
    BladeRfSdrDevice& device = receivingBoth();
    const std::size_t from = journalLength();
    ASSERT_TRUE(device.setChannelGain(StreamDirection::rx, 1, 31.0));
    EXPECT_THAT(callsOf({"bladerf_set_gain"}, from), ElementsAre("bladerf_set_gain 2 31 -> 0"));
    EXPECT_EQ(device.gainDb(StreamDirection::rx), 20.0); // channel 0, from the library
    EXPECT_EQ(device.channelGain(StreamDirection::rx, 1), 31.0);
    EXPECT_FALSE(device.setChannelGain(StreamDirection::rx, 2, 10.0));
    EXPECT_THAT(readBoth(device, true, 1024),
                ElementsAre(test::timestampsFrom(0, 1024), test::timestampsFrom(0, 1024)));
}

// Kept while channel 1 is idle; handed to it as its stream starts, after
// the configuration's gain, which it also gets.
TEST_F(BladeRfTwoChannels, aGainSetBeforeItsChannelStreamsReachesItWhenItStarts)
{
    BladeRfSdrDevice& device = open();
    ASSERT_TRUE(device.configureTx(config(915e6)) && device.startTx());
    const std::size_t from = journalLength();
    ASSERT_TRUE(device.setChannelGain(StreamDirection::tx, 1, 12.0));
    EXPECT_THAT(callsOf({"bladerf_set_gain"}, from), IsEmpty());
    device.stopTx();
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::tx, {0, 1}));
    ASSERT_TRUE(device.startTx());
    EXPECT_THAT(callsOf({"bladerf_enable_module", "bladerf_set_gain"}, from),
                ElementsAre("bladerf_enable_module 1 0 -> 0", "bladerf_enable_module 1 1 -> 0",
                            "bladerf_enable_module 3 1 -> 0", "bladerf_set_gain 3 12 -> 0"));
}

// Each channel has its own chain: channel 1's stages and automatic gain
// reach it live while it streams, or are kept and handed to it as it
// starts; channel 0 (the one the direction-wide calls reach) is untouched,
// and the per-channel calls on channel 0 are the direction-wide ones.
class BladeRfChannelChain : public BladeRfTwoChannels, public ::testing::WithParamInterface<bool> {};

TEST_P(BladeRfChannelChain, reachesItsChannelLiveOrWhenItStarts)
{
    const bool live = GetParam();
    BladeRfSdrDevice& device = open();
    ASSERT_TRUE(device.setStreamChannels(StreamDirection::rx, {0, 1}));
    ASSERT_TRUE(device.configureRx(config(915e6)));
    if (live) {
        ASSERT_TRUE(device.startRx());
    }
    const std::vector<GainStage> stages = device.gainStages(StreamDirection::rx);
    ASSERT_FALSE(stages.empty());
    const GainStage& stage = stages.front();
    const double before = device.gainStageDb(StreamDirection::rx, stage.name).value();
    const double wanted = stage.maximumDb == before ? stage.minimumDb : stage.maximumDb;
    const std::size_t from = journalLength();
    ASSERT_TRUE(device.setChannelAutomaticGain(StreamDirection::rx, 1, true));
    ASSERT_TRUE(device.setChannelGainStage(StreamDirection::rx, 1, stage.name, wanted));
    EXPECT_EQ(device.channelGainStageDb(StreamDirection::rx, 1, stage.name), wanted);
    EXPECT_TRUE(device.channelAutomaticGain(StreamDirection::rx, 1));
    if (!live) {
        EXPECT_THAT(callsOf({"bladerf_set_gain_mode", "bladerf_set_gain_stage"}, from), IsEmpty());
        ASSERT_TRUE(device.startRx());
    }
    const std::string stageCall =
        "bladerf_set_gain_stage 2 " + stage.name + " " + std::to_string(static_cast<int>(wanted)) + " -> 0";
    EXPECT_THAT(callsOf({"bladerf_set_gain_mode", "bladerf_set_gain_stage"}, from),
                ElementsAre("bladerf_set_gain_mode 2 0 -> 0", stageCall)); // 0: automatic
    EXPECT_EQ(device.channelGainStageDb(StreamDirection::rx, 1, stage.name), wanted);
    EXPECT_EQ(device.gainStageDb(StreamDirection::rx, stage.name), before);
    EXPECT_EQ(device.channelGainStageDb(StreamDirection::rx, 0, stage.name), before);
    EXPECT_FALSE(device.automaticGain(StreamDirection::rx));
    EXPECT_FALSE(device.channelAutomaticGain(StreamDirection::rx, 0));
    // Refused: a stage or channel the chain does not have, a value off its range.
    EXPECT_FALSE(device.setChannelGainStage(StreamDirection::rx, 1, stage.name + "x", wanted));
    EXPECT_FALSE(device.setChannelGainStage(StreamDirection::rx, 1, stage.name, stage.maximumDb + 1.0));
    EXPECT_FALSE(device.setChannelGainStage(StreamDirection::rx, 2, stage.name, wanted));
    EXPECT_FALSE(device.setChannelAutomaticGain(StreamDirection::tx, 1, true));
    device.stopRx();
    // A configuration gives both channels its gain with the control off.
    ASSERT_TRUE(device.configureRx(config(915e6)));
    EXPECT_FALSE(device.channelAutomaticGain(StreamDirection::rx, 1));
}

INSTANTIATE_TEST_SUITE_P(LiveAndKept, BladeRfChannelChain, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "live" : "kept"; });

} // namespace
} // namespace veltrano
