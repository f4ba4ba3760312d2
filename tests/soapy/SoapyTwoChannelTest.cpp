// SPDX-License-Identifier: MIT
// Both channels of a bladeRF 2.0 through the module, on the simulated
// library: one client buffer per channel, in every stream format, with the
// stream's time and losses; channel 1 hears channel 0's pattern with I and Q
// exchanged. What the device layer does with two channels is pinned beside it
// (BladeRfTwoChannelTest); this pins what the module adds.
#include "tests/soapy/SoapyFixture.h"
#include "tests/support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace veltrano {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class SoapyTwoChannels : public test::SoapyModule {
protected:
    // A bladeRF 2.0 with two channels each way, at 2 MS/s (500 ns a sample).
    test::SoapyDevicePointer bladeRf2(const std::string& script = "")
    {
        simulateBladeRf("board serial=B2\n" + script);
        auto device = make("driver=veltrano,family=bladerf");
        device->setSampleRate(SOAPY_SDR_RX, 0, 2e6);
        device->setSampleRate(SOAPY_SDR_TX, 0, 2e6);
        return device;
    }

    // Journal lines of the library calls named, from a position on.
    std::vector<std::string> callsOf(const std::string& name, std::size_t from) const
    {
        std::vector<std::string> lines;
        const auto journal = bladeRf().journal();
        for (std::size_t index = from; index < journal.size(); ++index) {
            if (journal[index].rfind(name + " ", 0) == 0) {
                lines.push_back(journal[index]);
            }
        }
        return lines;
    }
    std::size_t journalLength() const { return bladeRf().journal().size(); }
};

// The words a call throws, or "(accepted)".
std::string refusalOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& refusal) {
        return refusal.what();
    }
    return "(accepted)";
}

// A stream format's samples as the board's SC16 Q11 values (CS8 keeps the top eight bits).
struct Format {
    const char* name;
    std::size_t bytesPerSample;
    std::int16_t (*value)(const void* samples, std::size_t index); // the index-th I or Q value
};

const Format kFormats[] = {
    {SOAPY_SDR_CF32, 8,
     [](const void* s, std::size_t i) {
         return static_cast<std::int16_t>(std::lround(static_cast<const float*>(s)[i] * 2048.0F));
     }},
    {SOAPY_SDR_CF64, 16,
     [](const void* s, std::size_t i) {
         return static_cast<std::int16_t>(std::lround(static_cast<const double*>(s)[i] * 2048.0));
     }},
    {SOAPY_SDR_CS16, 4, [](const void* s, std::size_t i) { return static_cast<const std::int16_t*>(s)[i]; }},
    {SOAPY_SDR_CS8, 2,
     [](const void* s, std::size_t i) {
         return static_cast<std::int16_t>(static_cast<const std::int8_t*>(s)[i] * 16);
     }},
};

// The sample counts the board's pattern names in one channel's buffer: I is
// the count modulo 4096 less 2048, Q the count over 4096 likewise; channel 1
// has them exchanged. CS8 holds too little of each value to name a count, so
// there the count is of the values' top eight bits.
std::vector<std::uint64_t> countsOf(const Format& format, const std::vector<std::uint8_t>& buffer, std::size_t count,
                                    bool exchanged)
{
    std::vector<std::uint64_t> counts(count);
    for (std::size_t index = 0; index < count; ++index) {
        const int i = format.value(buffer.data(), 2 * index + (exchanged ? 1 : 0)) + 2048;
        const int q = format.value(buffer.data(), 2 * index + (exchanged ? 0 : 1)) + 2048;
        counts[index] = static_cast<std::uint64_t>(i) + 4096 * static_cast<std::uint64_t>(q);
    }
    return counts;
}

// What the board's pattern gives for count samples from first, in the format.
std::vector<std::uint64_t> patternFrom(const Format& format, std::uint64_t first, std::size_t count)
{
    std::vector<std::uint64_t> counts(count);
    std::iota(counts.begin(), counts.end(), first);
    if (format.bytesPerSample == 2) {
        // value / 16, halves away from zero, held to -128..127, as the module narrows.
        const auto narrowed = [](std::uint64_t part) {
            const double scaled = std::round((static_cast<double>(part) - 2048.0) / 16.0);
            return static_cast<std::uint64_t>(std::clamp(scaled, -128.0, 127.0) * 16.0 + 2048.0);
        };
        for (std::uint64_t& value : counts) {
            value = narrowed(value % 4096) + 4096 * narrowed(value / 4096 % 4096);
        }
    }
    return counts;
}

// One read into both channels' buffers.
struct TwoChannelRead {
    int result;
    int flags;
    long long timeNs;
    std::vector<std::uint64_t> counts[2];
};

TwoChannelRead readBoth(SoapySDR::Device& device, SoapySDR::Stream* stream, const Format& format, std::size_t count)
{
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(count * format.bytesPerSample),
                                            std::vector<std::uint8_t>(count * format.bytesPerSample)};
    void* pointers[2] = {buffers[0].data(), buffers[1].data()};
    TwoChannelRead outcome{};
    outcome.result = device.readStream(stream, pointers, count, outcome.flags, outcome.timeNs, 1'000'000);
    const std::size_t got = outcome.result > 0 ? static_cast<std::size_t>(outcome.result) : 0;
    outcome.counts[0] = countsOf(format, buffers[0], got, false);
    outcome.counts[1] = countsOf(format, buffers[1], got, true);
    return outcome;
}

TEST_F(SoapyTwoChannels, aBladeRf2HasTwoChannelsEachWayAndOthersOne)
{
    simulateBladeRf("board serial=B2\nboard serial=B1 model=bladerf1 rx=1 tx=1\n");
    simulateHackRf("board H1\n");
    for (const auto& [args, channels] :
         {std::pair{"driver=veltrano,serial=B2", 2u}, std::pair{"driver=veltrano,serial=B1", 1u},
          std::pair{"driver=veltrano,family=hackrf", 1u}}) {
        const auto device = make(args);
        EXPECT_EQ(device->getNumChannels(SOAPY_SDR_RX), channels) << args;
        EXPECT_EQ(device->getNumChannels(SOAPY_SDR_TX), channels) << args;
    }
}

// Whole reads go straight into the client's buffers, shorter ones through
// the module's staging: either way both channels carry the same instants,
// stamped with the first one's time.
class SoapyTwoChannelRead : public SoapyTwoChannels,
                            public ::testing::WithParamInterface<std::tuple<Format, std::size_t>> {};

TEST_P(SoapyTwoChannelRead, bothChannelsCarryThePatternStampedWithItsTime)
{
    const auto& [format, perRead] = GetParam();
    const auto device = bladeRf2();
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, format.name, {0, 1});
    ASSERT_EQ(device->activateStream(stream), 0);
    for (std::uint64_t first = 0; first < 3 * perRead; first += perRead) {
        const TwoChannelRead read = readBoth(*device, stream, format, perRead);
        ASSERT_EQ(read.result, static_cast<int>(perRead)) << first;
        EXPECT_THAT(read.counts, ElementsAre(patternFrom(format, first, perRead), patternFrom(format, first, perRead)));
        EXPECT_EQ(read.flags & SOAPY_SDR_HAS_TIME, SOAPY_SDR_HAS_TIME);
        EXPECT_EQ(read.timeNs, static_cast<long long>(first * 500)) << first;
    }
    EXPECT_EQ(device->readSetting("rx_overruns"), "0");
}

INSTANTIATE_TEST_SUITE_P(FormatsAndSizes, SoapyTwoChannelRead,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::Values(4096, 100)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// A reader that falls behind (the library's buffers full: a scripted gap)
// hears of it once, as an overflow, with the samples lost in a setting;
// both channels go on together past it.
TEST_F(SoapyTwoChannels, aGapIsReportedOnceWithItsSizeAndBothChannelsGoOnPastIt)
{
    const auto device = bladeRf2("rx-gap 20000 5000\n");
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0, 1});
    ASSERT_EQ(device->activateStream(stream), 0);
    const Format& cs16 = kFormats[2];
    std::vector<std::uint64_t> heard[2];
    int overflows = 0;
    while (heard[0].size() < 30000) {
        const TwoChannelRead read = readBoth(*device, stream, cs16, 4096);
        ASSERT_TRUE(read.result > 0 || read.result == SOAPY_SDR_OVERFLOW) << read.result;
        overflows += read.result == SOAPY_SDR_OVERFLOW ? 1 : 0;
        for (int channel = 0; channel < 2; ++channel) {
            heard[channel].insert(heard[channel].end(), read.counts[channel].begin(), read.counts[channel].end());
        }
    }
    EXPECT_EQ(overflows, 1);
    std::vector<std::uint64_t> expected = patternFrom(cs16, 0, 20000);
    const auto after = patternFrom(cs16, 25000, heard[0].size() - 20000);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_THAT(heard, ElementsAre(expected, expected));
    EXPECT_EQ(device->readSetting("rx_overruns"), "1");
    EXPECT_EQ(device->readSetting("rx_lost_samples"), "5000");
}

// Two buffers written reach their own channels bit-exact; the float formats
// are scaled to the board's values exactly as one channel's are.
TEST_F(SoapyTwoChannels, writesReachEachChannelBitExact)
{
    const test::TemporaryDirectory directory;
    const test::ScopedEnvironment capture("VELTRANO_SIM_BLADERF_TX_CAPTURE", test::environmentText(directory / "tx"));
    const auto device = bladeRf2();
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CS16, {0, 1});
    EXPECT_EQ(device->getStreamMTU(stream), 32768u); // a two-channel write takes half as many of each
    ASSERT_EQ(device->activateStream(stream), 0);
    const std::int16_t first[6] = {-2048, 2047, 1, -1, 700, -700};
    const std::int16_t second[6] = {5, 6, -7, 8, 2047, -2048};
    const void* buffers[2] = {first, second};
    int flags = 0;
    EXPECT_EQ(device->writeStream(stream, buffers, 3, flags, 0, 1'000'000), 3);
    device->closeStream(stream);

    SoapySDR::Stream* floats = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CF32, {0, 1});
    ASSERT_EQ(device->activateStream(floats), 0);
    const std::complex<float> floats0[2] = {{0.5F, -0.5F}, {0.25F, 0.0F}};
    const std::complex<float> floats1[2] = {{-1.0F, 1.0F}, {0.0F, -0.25F}};
    const void* floatBuffers[2] = {floats0, floats1};
    EXPECT_EQ(device->writeStream(floats, floatBuffers, 2, flags, 0, 1'000'000), 2);
    device->closeStream(floats);

    const std::int16_t expected0[10] = {-2048, 2047, 1, -1, 700, -700, 1024, -1024, 512, 0};
    const std::int16_t expected1[10] = {5, 6, -7, 8, 2047, -2048, -2048, 2047, 0, -512};
    for (const auto& [channel, expected] : {std::pair{0, expected0}, std::pair{1, expected1}}) {
        const std::string bytes = test::readTextFile(directory / ("tx.channel" + std::to_string(channel)));
        ASSERT_EQ(bytes.size(), sizeof expected0) << channel;
        EXPECT_EQ(std::memcmp(bytes.data(), expected, sizeof expected0), 0) << channel;
    }
}

TEST_F(SoapyTwoChannels, channelListsAreCheckedWithWords)
{
    simulateBladeRf("board serial=B2\nboard serial=ONE rx=1 tx=1\n");
    const auto two = make("driver=veltrano,serial=B2");
    const auto one = make("driver=veltrano,serial=ONE");
    struct Case {
        SoapySDR::Device* device;
        std::vector<std::size_t> channels;
        const char* words;
    };
    for (const int direction : {SOAPY_SDR_RX, SOAPY_SDR_TX}) {
        for (const Case& refused :
             {Case{two.get(), {1, 1}, "channel 1 is listed twice"}, Case{two.get(), {0, 2}, "channel 2"},
              Case{two.get(), {0, 1, 0}, "listed twice"}, Case{one.get(), {0, 1}, "channel 1"}}) {
            EXPECT_THAT(refusalOf([&] { refused.device->setupStream(direction, SOAPY_SDR_CS16, refused.channels); }),
                        HasSubstr(refused.words));
        }
    }
    // Nothing was left set up by a refusal: channel 1 alone streams, as its own channel.
    SoapySDR::Stream* stream = two->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {1});
    EXPECT_EQ(two->getStreamMTU(stream), 16384u);
    ASSERT_EQ(two->activateStream(stream), 0);
    std::vector<std::uint8_t> values(4 * 1024);
    ASSERT_EQ(read(*two, stream, values.data(), 1024), 1024);
    EXPECT_EQ(countsOf(kFormats[2], values, 1024, true), patternFrom(kFormats[2], 0, 1024));
}

// Channel 1's gain chain is its own: kept until it streams, then live;
// channel 0's overall gain stays channel 0's. Streaming alone, channel 1
// takes the overall gain and the automatic gain itself.
TEST_F(SoapyTwoChannels, aChannelsGainReachesThatChannelOnly)
{
    const auto device = bladeRf2();
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0, 1});
    std::size_t from = journalLength();
    device->setGain(SOAPY_SDR_RX, 1, 31);
    EXPECT_THAT(callsOf("bladerf_set_gain", from), IsEmpty());
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 1), 31);
    ASSERT_EQ(device->activateStream(stream), 0);
    EXPECT_THAT(callsOf("bladerf_set_gain", from),
                ElementsAre(HasSubstr("bladerf_set_gain 0 "), "bladerf_set_gain 2 31 -> 0"));
    from = journalLength();
    device->setGain(SOAPY_SDR_RX, 1, 12);
    device->setGain(SOAPY_SDR_RX, 0, 25);
    EXPECT_THAT(callsOf("bladerf_set_gain", from),
                ElementsAre("bladerf_set_gain 2 12 -> 0", "bladerf_set_gain 0 25 -> 0"));
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 1), 12);
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 0), 25);
    // Its stages and automatic gain are its own too, live, and given to it
    // again after a configuration.
    from = journalLength();
    device->setGain(SOAPY_SDR_RX, 1, "full", 20);
    device->setGainMode(SOAPY_SDR_RX, 1, true);
    const std::string mode = "bladerf_set_gain_mode 2 0 -> 0"; // the automatic mode
    EXPECT_THAT(callsOf("bladerf_set_gain_stage", from), ElementsAre("bladerf_set_gain_stage 2 full 20 -> 0"));
    EXPECT_THAT(callsOf("bladerf_set_gain_mode", from), ElementsAre(mode));
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 1, "full"), 20);
    EXPECT_TRUE(device->getGainMode(SOAPY_SDR_RX, 1));
    EXPECT_FALSE(device->getGainMode(SOAPY_SDR_RX, 0));
    EXPECT_THAT(refusalOf([&] { device->setGain(SOAPY_SDR_RX, 1, "full", 99); }), HasSubstr("full takes"));
    ASSERT_EQ(device->deactivateStream(stream), 0);
    device->setSampleRate(SOAPY_SDR_RX, 0, 4e6);
    from = journalLength();
    ASSERT_EQ(device->activateStream(stream), 0);
    EXPECT_THAT(callsOf("bladerf_set_gain_stage", from), Contains("bladerf_set_gain_stage 2 full 20 -> 0"));
    EXPECT_THAT(callsOf("bladerf_set_gain_mode", from), Contains(mode));
    EXPECT_TRUE(device->getGainMode(SOAPY_SDR_RX, 1));
    device->closeStream(stream);

    stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {1});
    ASSERT_EQ(device->activateStream(stream), 0);
    from = journalLength();
    device->setGain(SOAPY_SDR_RX, 1, 40);
    device->setGainMode(SOAPY_SDR_RX, 1, true);
    EXPECT_THAT(callsOf("bladerf_set_gain", from), ElementsAre("bladerf_set_gain 2 40 -> 0"));
    EXPECT_THAT(callsOf("bladerf_set_gain_mode", from), ElementsAre(mode));
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 1), 40);
}

// One oscillator a direction: a frequency set on either channel moves both,
// and both say so.
TEST_F(SoapyTwoChannels, aFrequencySetOnOneChannelMovesBoth)
{
    const auto device = bladeRf2();
    for (const int direction : {SOAPY_SDR_RX, SOAPY_SDR_TX}) {
        for (const std::size_t channel : {1u, 0u}) {
            const double frequency = channel == 1 ? 433e6 : 868e6;
            device->setFrequency(direction, channel, frequency);
            EXPECT_EQ(device->getFrequency(direction, 0), frequency);
            EXPECT_EQ(device->getFrequency(direction, 1), frequency);
        }
    }
}

} // namespace
} // namespace veltrano
