// SPDX-License-Identifier: MIT
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stop_token>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class BladeRfTransmit : public test::BladeRfStreaming {};

// Values outside the board's limits are the receive test's.
TEST_F(BladeRfTransmit, refusedConfigurationsLeaveTheTransmitterUnconfigured)
{
    BladeRfSdrDevice& device = open("board serial=RXONLY tx=0\nfail bladerf_set_gain 1 -1\n");
    EXPECT_FALSE(device.configureTx(config(915e6))); // the gain fails
    EXPECT_FALSE(device.startTx());

    EXPECT_FALSE(BladeRfSdrDevice("RXONLY").configureTx(config(915e6)));

    // Receive and transmit exclude each other.
    ASSERT_TRUE(device.configureRx(config(915e6)) && device.startRx());
    EXPECT_FALSE(device.configureTx(config(915e6)));
    device.stopRx();
    ASSERT_TRUE(device.configureTx(config(915e6)));
    ASSERT_TRUE(device.startRx());
    EXPECT_FALSE(device.startTx());
    device.stopRx();
    ASSERT_TRUE(device.startTx());
    EXPECT_FALSE(device.startRx());
    EXPECT_FALSE(device.configureRx(config(915e6)));
}

// What float values become is pinned by the conversion kernels' tests and,
// on the board, by the real library's drain test; native values go as they
// are, whatever they hold (those of the board's range bit-exact through the
// module's full-duplex test).
TEST_F(BladeRfTransmit, theLibraryGetsTheSamplesInPiecesOfAtMost65536)
{
    test::TemporaryDirectory directory;
    const test::ScopedEnvironment capture("VELTRANO_SIM_BLADERF_TX_CAPTURE",
                                          test::environmentText(directory / "sent.bin"));
    BladeRfSdrDevice& device = transmitting("fail bladerf_sync_tx 2 timeout\nfail bladerf_sync_tx 3 -5\n");
    EXPECT_EQ(device.nativeSampleFormat(), NativeSampleFormat::sc16Q11);
    const std::vector<std::complex<float>> samples{
        {1.0F, -1.0F}, {0.5F, 1.0F / 4096}, {-1.0F / 4096, 1.5F}, {-3.0F, kNaN}, {0.0F, 2047.5F / 2048}};
    EXPECT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
    EXPECT_EQ(device.writeSamples(samples.data(), samples.size()), 0u); // the library times out after 250 ms
    EXPECT_EQ(device.lastError(), "");
    EXPECT_EQ(device.writeSamples(samples.data(), samples.size()), 0u); // ... and fails
    EXPECT_EQ(device.lastError(), "TX stream stopped: File or device I/O failure");
    const std::int16_t values[6] = {-32768, 32767, -2049, 2048, 7919, -1};
    EXPECT_EQ(device.writeNativeSamples(nullptr, 3), 0u);
    EXPECT_EQ(device.writeNativeSamples(values, 3), 3u);
    const std::vector<std::complex<float>> many(100000, {0.25F, -0.25F});
    EXPECT_EQ(device.writeSamples(many.data(), many.size()), 65536u);
    const std::vector<std::int16_t> manyValues(2 * 100000, 5);
    EXPECT_EQ(device.writeNativeSamples(manyValues.data(), 100000), 65536u);
    EXPECT_THAT(bladeRf().calls("bladerf_sync_tx"),
                ElementsAre("bladerf_sync_tx 5 (null) 250 -> 0", "bladerf_sync_tx 5 (null) 250 -> -6",
                            "bladerf_sync_tx 5 (null) 250 -> -5", "bladerf_sync_tx 3 (null) 250 -> 0",
                            "bladerf_sync_tx 65536 (null) 250 -> 0", "bladerf_sync_tx 65536 (null) 250 -> 0"));
    const std::string bytes = test::readTextFile(directory / "sent.bin");
    const std::size_t nativeAt = samples.size() * sizeof values[0] * 2; // after the five float samples
    ASSERT_GE(bytes.size(), nativeAt + sizeof values);
    EXPECT_EQ(std::memcmp(bytes.data() + nativeAt, values, sizeof values), 0);
}

TEST_F(BladeRfTransmit, aDrainCompletesTheLibrarysPartialBufferAndTurnsItsRingWithSilence)
{
    BladeRfSdrDevice& device = transmitting("fail bladerf_sync_tx 4 -1\n");
    EXPECT_TRUE(device.drainTx({})); // nothing written: nothing to send
    const std::complex<float> samples[5]{};
    const std::int16_t values[6]{};
    EXPECT_EQ(device.writeSamples(samples, 5), 5u);
    EXPECT_EQ(device.writeNativeSamples(values, 3), 3u);
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_FALSE(device.drainTx(stopped.get_token()));
    EXPECT_FALSE(device.drainTx({})); // the library fails the second piece of silence
    EXPECT_THAT(device.lastError(), StartsWith("TX stream stopped: "));
    EXPECT_TRUE(device.drainTx({})); // the partial buffer went out before the failure
    EXPECT_TRUE(device.drainTx({})); // nothing written since

    // A buffer lasts 32.8 ms at 2 MS/s: each piece of silence may wait twice that.
    std::vector<std::string> expected{"bladerf_sync_tx 5 (null) 250 -> 0", "bladerf_sync_tx 3 (null) 250 -> 0",
                                      "bladerf_sync_tx 65528 (null) 315 -> 0",
                                      "bladerf_sync_tx 65536 (null) 315 -> -1"};
    expected.insert(expected.end(), 31, "bladerf_sync_tx 65536 (null) 315 -> 0");
    expected.push_back("bladerf_sync_tx 1 (null) 315 -> 0");
    EXPECT_THAT(bladeRf().calls("bladerf_sync_tx"), ElementsAreArray(expected));
}

// Full duplex where the board has both chains (both streams at once are the
// module's test through this library and the real library's): the switch
// moves only outside two streams; a board that clocks both directions from
// one converter refuses a second rate.
TEST_F(BladeRfTransmit, fullDuplexSwitchesWhereTheBoardCan)
{
    BladeRfSdrDevice& shared =
        open("board serial=RXONLY tx=0\nboard serial=X1 model=bladerf1\nfail bladerf_sync_tx 1 -5\n");
    BladeRfSdrDevice device("X1");
    EXPECT_FALSE(BladeRfSdrDevice("RXONLY").setFullDuplex(true));
    EXPECT_FALSE(device.fullDuplex());
    ASSERT_TRUE(device.setFullDuplex(true));
    ASSERT_TRUE(device.configureRx(config(915e6)) && device.startRx());
    ASSERT_TRUE(device.configureTx(config(2400e6, 1e6)) && device.startTx()); // a bladeRF1's rates are apart
    EXPECT_FALSE(device.setFullDuplex(false));
    EXPECT_TRUE(device.fullDuplex());
    // A transmit stream that failed stays reported when receive starts again.
    const std::int16_t values[2] = {1, 1};
    EXPECT_EQ(device.writeNativeSamples(values, 1), 0u);
    device.stopRx();
    ASSERT_TRUE(device.startRx());
    EXPECT_THAT(device.lastError(), StartsWith("TX stream stopped: "));

    ASSERT_TRUE(shared.setFullDuplex(true));
    ASSERT_TRUE(shared.configureRx(config(915e6)) && shared.startRx());
    EXPECT_FALSE(shared.configureTx(config(915e6, 1e6)));
    ASSERT_TRUE(shared.configureTx(config(915e6)) && shared.startTx());
    EXPECT_FALSE(shared.setSampleRate(StreamDirection::rx, 4e6));
}

// At 2 MS/s a sample lasts 500 ns. Times before the counter's zero, or that it
// has passed, are late; a negative time is an ordinary one once the clock is
// set below zero; the far future is scheduled; a stop ends an open burst.
TEST_F(BladeRfTransmit, hostileBurstTimesAreLateRefusedOrScheduledAndAStopEndsAnOpenBurst)
{
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();
    BladeRfSdrDevice& device = openConfigured();
    ASSERT_TRUE(device.configureTx(config(915e6)));
    for (const std::int64_t refused : {kLowest, std::int64_t{-1}, std::int64_t{0}}) {
        EXPECT_FALSE(device.startRxAt(refused)) << refused;
        EXPECT_THAT(device.lastError(), HasSubstr("has passed"));
    }
    ASSERT_TRUE(device.startTimedTx());
    const std::int16_t values[8] = {7, -7, 7, -7, 7, -7, 7, -7};
    for (const std::int64_t late : {kLowest, std::int64_t{-1}, std::int64_t{0}}) {
        EXPECT_EQ(device.writeNativeBurst(values, 4, {true, late, true}), 4u);
        const std::optional<TxEvent> event = device.nextTxEvent();
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->kind, TxEvent::Kind::lateBurst);
        EXPECT_EQ(event->timeNs, late);
        EXPECT_EQ(event->samples, 4u);
    }
    ASSERT_TRUE(device.setHardwareTimeNs(-10'000'000'000));
    EXPECT_EQ(device.writeNativeBurst(values, 3, {true, -9'000'000'000, true}), 3u);
    EXPECT_EQ(device.writeNativeBurst(values, 4, {true, kHighest, false}), 4u);
    EXPECT_EQ(device.writeNativeBurst(values, 4, {true, std::nullopt, true}), 0u);
    EXPECT_THAT(device.lastError(), HasSubstr("a burst is open"));
    device.stopTx();
    EXPECT_EQ(device.writeNativeBurst(values, 4, {}), 0u);
    // (2^63 - 1 + 10^10) ns x 2 MS/s, rounded up.
    EXPECT_THAT(bladeRf().calls("tx burst"),
                ElementsAre("tx burst at 2000000 samples 3", "tx burst at 18446744093709552 samples 4"));
}

// With the counter at 500 ms (2 MS/s), a first burst at 250 ms is late
// though no burst came before it; a time between two ticks starts at the
// later one.
TEST_F(BladeRfTransmit, aFirstBurstAlreadyPastIsDroppedAndATimeBetweenTicksTakesTheLater)
{
    BladeRfSdrDevice& device = open("get-timestamp 1000000\n");
    ASSERT_TRUE(device.configureTx(config(915e6)));
    ASSERT_TRUE(device.startTimedTx());
    const std::int16_t values[8] = {7, -7, 7, -7, 7, -7, 7, -7};
    EXPECT_EQ(device.writeNativeBurst(values, 4, {true, 250'000'000, true}), 4u);
    const std::optional<TxEvent> event = device.nextTxEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, TxEvent::Kind::lateBurst);
    EXPECT_EQ(event->timeNs, 250'000'000);
    EXPECT_EQ(device.writeNativeBurst(values, 2, {true, 600'000'001, true}), 2u);
    EXPECT_THAT(bladeRf().calls("tx burst"), ElementsAre("tx burst at 1200001 samples 2"));
}

// A counter at the top of its range is beyond any time 64 bits of
// nanoseconds hold: the time cannot be read or set, and every burst is late.
TEST_F(BladeRfTransmit, aCounterBeyondTheNanosecondRangeGivesNoTime)
{
    BladeRfSdrDevice& device = open("get-timestamp 9223372036854775807\n");
    ASSERT_TRUE(device.configureTx(config(915e6)));
    EXPECT_FALSE(device.hardwareTimeNs().has_value());
    EXPECT_FALSE(device.setHardwareTimeNs(0));
    ASSERT_TRUE(device.startTimedTx());
    const std::int16_t values[2] = {1, 1};
    EXPECT_EQ(device.writeNativeBurst(values, 1, {true, std::numeric_limits<std::int64_t>::max(), true}), 1u);
    EXPECT_EQ(device.nextTxEvent()->kind, TxEvent::Kind::lateBurst);
}

} // namespace
} // namespace veltrano
