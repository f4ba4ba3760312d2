// SPDX-License-Identifier: MIT
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;

// 2 MS/s: one sample is 500 ns, so every stamp is a whole number of them.
constexpr double kRate = 2e6;
constexpr long long kSampleNs = 500;

class SoapyHardwareTime : public test::SoapyModule {
protected:
    test::SoapyDevicePointer openBladeRf()
    {
        simulateBladeRf("board serial=B1\n");
        auto device = make("driver=veltrano");
        device->setSampleRate(SOAPY_SDR_RX, 0, kRate);
        device->setSampleRate(SOAPY_SDR_TX, 0, kRate);
        return device;
    }

    // The simulator's pattern names each sample's tick: (I + 2048) + 4096 (Q + 2048), modulo 2^24.
    static long long tickOf(const std::int16_t* sample) { return (sample[0] + 2048) + 4096LL * (sample[1] + 2048); }
};

TEST_F(SoapyHardwareTime, bladeRfReadsAreStampedContiguouslyOnATimeTheClientMayMove)
{
    const auto device = openBladeRf();
    ASSERT_TRUE(device->hasHardwareTime());
    EXPECT_FALSE(device->hasHardwareTime("gps"));
    device->setHardwareTime(5'000'000'000);
    EXPECT_EQ(device->getHardwareTime(), 5'000'000'000);

    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS16);
    std::vector<std::int16_t> buffer(2 * 20000);
    long long expected = 5'000'000'000;
    // Sizes straddle the library's 1024-sample reads and exceed the stream's MTU.
    const std::size_t sizes[] = {1, 1023, 1024, 1025, 16384, 20000, 3, 4097};
    for (int read = 0; read < 200; ++read) {
        if (read == 150) {
            // Moving the time moves the stamps of the running stream with it.
            device->setHardwareTime(device->getHardwareTime() + 1'000'000'000);
            expected += 1'000'000'000;
        }
        const Outcome got = readTimed(*device, stream, buffer.data(), sizes[read % 8]);
        ASSERT_GT(got.result, 0) << read;
        ASSERT_NE(got.flags & SOAPY_SDR_HAS_TIME, 0) << read;
        ASSERT_EQ(got.timeNs, expected) << read;
        const long long tick = (expected - 5'000'000'000 - (read >= 150 ? 1'000'000'000 : 0)) / kSampleNs;
        ASSERT_EQ(tickOf(buffer.data()), tick % (1 << 24)) << read;
        expected += got.result * kSampleNs;
    }
    // The counter is where the reads went, and a little past: the library reads ahead.
    EXPECT_GE(device->getHardwareTime(), expected);
    EXPECT_LT(device->getHardwareTime(), expected + 16384 * kSampleNs);
}

// Clients ask for the time whether or not the board keeps it: a time there
// is none of, or one not readable yet, reads 0 rather than throwing.
TEST_F(SoapyHardwareTime, aTimeThereIsNoneOfReadsZero)
{
    simulateHackRf("board H1\n");
    EXPECT_EQ(make("driver=veltrano,family=hackrf")->getHardwareTime(), 0);
    simulateBladeRf("board serial=B1\n");
    const auto bladeRf = make("driver=veltrano");
    EXPECT_EQ(bladeRf->getHardwareTime(), 0); // no rate yet: no ticks to count in
    EXPECT_EQ(bladeRf->getHardwareTime("gps"), 0);
}

TEST_F(SoapyHardwareTime, aTimedActivationDeliversTheSampleTakenAtThatTimeFirst)
{
    const auto device = openBladeRf();
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    const long long at = device->getHardwareTime() + 100'000'000 + 3 * kSampleNs;
    ASSERT_EQ(device->activateStream(stream, SOAPY_SDR_HAS_TIME, at), 0);
    std::vector<std::int16_t> buffer(2 * 1000);
    const Outcome got = readTimed(*device, stream, buffer.data(), 1000);
    ASSERT_EQ(got.result, 1000);
    EXPECT_EQ(got.timeNs, at);
    EXPECT_EQ(tickOf(buffer.data()), at / kSampleNs);
    device->deactivateStream(stream);
    // A time that has passed is refused.
    EXPECT_EQ(device->activateStream(stream, SOAPY_SDR_HAS_TIME, at), SOAPY_SDR_STREAM_ERROR);
}

// Each burst starts on its own tick, written whole or in pieces; a late one
// is reported and dropped while the stream goes on.
TEST_F(SoapyHardwareTime, timedBurstsStartOnTheirTicksAndALateOneIsATimeError)
{
    const auto device = openBladeRf();
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CS16);
    const std::vector<std::int16_t> sound(2 * 5000, 100);
    struct Expected {
        long long timeNs;
        std::vector<std::size_t> pieces;
        int result;
    };
    const std::vector<Expected> bursts{{200'000'000, {1000}, 0},
                                       {100'000'000, {700}, SOAPY_SDR_TIME_ERROR},
                                       {250'000'000, {1500, 1, 1999, 17}, 0},
                                       {250'000'000, {5}, SOAPY_SDR_TIME_ERROR},
                                       {260'000'000 + kSampleNs, {1}, 0}};
    for (const Expected& expected : bursts) {
        const std::vector<std::size_t>& pieces = expected.pieces;
        for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
            const int flags =
                (piece == 0 ? SOAPY_SDR_HAS_TIME : 0) | (piece + 1 == pieces.size() ? SOAPY_SDR_END_BURST : 0);
            ASSERT_EQ(write(*device, stream, sound.data(), pieces[piece], flags, expected.timeNs),
                      static_cast<int>(pieces[piece]));
        }
        const Outcome outcome = status(*device, stream);
        EXPECT_EQ(outcome.result, expected.result) << expected.timeNs;
        EXPECT_EQ(outcome.flags, SOAPY_SDR_HAS_TIME | (expected.result == 0 ? SOAPY_SDR_END_BURST : 0));
        EXPECT_EQ(outcome.timeNs, expected.timeNs);
    }
    EXPECT_EQ(status(*device, stream).result, SOAPY_SDR_TIMEOUT);
    EXPECT_THAT(bladeRf().calls("tx burst"),
                ElementsAre("tx burst at 400000 samples 1000", "tx burst at 500000 samples 3517",
                            "tx burst at 520001 samples 1"));
}

// Full duplex is on for the bladeRF in the module: a reader thread keeps
// receive going while a hundred bursts 10 ms apart go out, each on its tick.
TEST_F(SoapyHardwareTime, aHundredBurstsTenMillisecondsApartStartOnTheirTicksWhileReceiveRuns)
{
    const auto device = openBladeRf();
    SoapySDR::Stream* rx = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS16);
    SoapySDR::Stream* tx = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CS16);
    const long long first = device->getHardwareTime() / kSampleNs * kSampleNs + 20'000'000;
    std::vector<std::string> expected;
    {
        const std::jthread reader([&](std::stop_token stop) {
            std::vector<std::int16_t> buffer(2 * 4096);
            while (!stop.stop_requested()) {
                read(*device, rx, buffer.data(), 4096);
            }
        });
        const std::vector<std::int16_t> sound(2 * 100, 9);
        for (long long burst = 0; burst < 100; ++burst) {
            const long long at = first + burst * 10'000'000;
            ASSERT_EQ(write(*device, tx, sound.data(), 100, SOAPY_SDR_HAS_TIME | SOAPY_SDR_END_BURST, at), 100);
            expected.push_back("tx burst at " + std::to_string(at / kSampleNs) + " samples 100");
        }
        for (long long burst = 0; burst < 100; ++burst) {
            const Outcome outcome = status(*device, tx);
            ASSERT_EQ(outcome.result, 0) << burst;
            ASSERT_EQ(outcome.flags, SOAPY_SDR_HAS_TIME | SOAPY_SDR_END_BURST);
            ASSERT_EQ(outcome.timeNs, first + burst * 10'000'000);
        }
    }
    EXPECT_THAT(bladeRf().calls("tx burst"), ::testing::ElementsAreArray(expected));
}

} // namespace
} // namespace veltrano
