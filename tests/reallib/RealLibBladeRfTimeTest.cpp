// SPDX-License-Identifier: MIT
// Hardware time through Debian's real libbladeRF on the emulated x40: the
// receive pattern names each sample's tick and the board journals every
// burst where it starts, so stamps, timed starts and timed bursts are checked
// against the board's own counter.
#include "tests/reallib/CallTiming.h"
#include "tests/reallib/RealLibBladeRf.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

using test::timestampOf;

constexpr double kRate = 2e6;
constexpr std::int64_t kSampleNs = 500;

class RealLibBladeRfTime : public test::RealLibBladeRf {
protected:
    // The next sample boundary at least leadNs ahead of the board's time.
    static std::int64_t ahead(BladeRfSdrDevice& device, std::int64_t leadNs)
    {
        const std::int64_t now = device.hardwareTimeNs().value_or(0) + leadNs;
        return (now / kSampleNs + 1) * kSampleNs;
    }

    // The next burst outcome, polled for.
    static std::optional<TxEvent> awaitEvent(BladeRfSdrDevice& device)
    {
        std::optional<TxEvent> event;
        test::eventually([&] { return (event = device.nextTxEvent()).has_value(); });
        return event;
    }

    std::vector<std::string> bursts() const
    {
        std::vector<std::string> lines;
        for (const std::string& line : journal()) {
            if (line.rfind("tx burst", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
};

TEST_F(RealLibBladeRfTime, readsAreStampedContiguouslyAndATimedStartDeliversItsSampleFirst)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.hasHardwareTime());
    // The time runs with the board's counter, and setting it moves only the offset.
    const std::int64_t before = device.hardwareTimeNs().value_or(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(device.hardwareTimeNs().value_or(0) - before, 50'000'000);
    ASSERT_TRUE(device.setHardwareTimeNs(-3'000'000'000));
    EXPECT_LT(device.hardwareTimeNs().value_or(0) + 3'000'000'000, 1'000'000'000);

    const std::int64_t start = ahead(device, 200'000'000);
    ASSERT_TRUE(device.startRxAt(start));
    std::vector<std::int16_t> codes(2 * 20000);
    std::int64_t expected = start;
    std::uint64_t firstTick = 0;
    const std::size_t sizes[] = {1, 1023, 1024, 1025, 16384, 20000, 3, 4097};
    for (int read = 0; read < 200; ++read) {
        const std::size_t got = device.readNativeSamples(codes.data(), sizes[read % 8]);
        if (got == 0 && read == 0) {
            --read; // the start lies ahead yet
            continue;
        }
        ASSERT_GT(got, 0u) << read;
        ASSERT_EQ(device.readTimeNs(0), expected) << read;
        ASSERT_EQ(device.readTimeNs(got - 1), expected + static_cast<std::int64_t>(got - 1) * kSampleNs);
        // The pattern's ticks step as the stamps do.
        const std::uint64_t tick = timestampOf(codes.data());
        firstTick = read == 0 ? tick : firstTick;
        ASSERT_EQ(test::distance(firstTick, tick),
                  static_cast<std::uint64_t>((expected - start) / kSampleNs) % test::kPatternPeriod)
            << read;
        // The library reads whole multiples of 1024 samples; a read's surplus is not handed on.
        expected += static_cast<std::int64_t>((got + 1023) / 1024 * 1024) * kSampleNs;
    }
    device.stopRx();
}

// Without receive running: the transmit counter is the clock.
TEST_F(RealLibBladeRfTime, burstsStartOnTheirTicksAndALateOneIsReportedWhileTheStreamGoesOn)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureTx({915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.startTimedTx());
    std::vector<std::int16_t> codes;
    std::vector<std::complex<float>> samples;
    test::codeRamp(3000, codes, samples);
    codes[0] = codes[1] = 5; // no burst begins with silence: the board counts from its first sound
    const std::int64_t first = ahead(device, 200'000'000);
    ASSERT_EQ(device.writeNativeBurst(codes.data(), 1000, {true, first, true}), 1000u);
    const std::int64_t late = first - 300'000'000;
    ASSERT_EQ(device.writeNativeBurst(codes.data(), 700, {true, late, true}), 700u);
    const std::int64_t second = first + 10'000'000 + kSampleNs;
    ASSERT_EQ(device.writeNativeBurst(codes.data(), 1500, {true, second, false}), 1500u);
    ASSERT_EQ(device.writeNativeBurst(codes.data() + 3000, 1500, {false, std::nullopt, true}), 1500u);

    const std::optional<TxEvent> lateEvent = awaitEvent(device);
    ASSERT_TRUE(lateEvent.has_value());
    EXPECT_EQ(lateEvent->kind, TxEvent::Kind::lateBurst);
    EXPECT_EQ(lateEvent->timeNs, late);
    for (const std::int64_t sent : {first, second}) {
        const std::optional<TxEvent> event = awaitEvent(device);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->kind, TxEvent::Kind::burstSent);
        EXPECT_EQ(event->timeNs, sent);
    }
    device.stopTx();
    // The clock reads 0 at the counter's zero: each burst's tick is its time over 500 ns.
    EXPECT_THAT(bursts(),
                ::testing::ElementsAre("tx burst at " + std::to_string(first / kSampleNs) + " samples 1000",
                                       "tx burst at " + std::to_string(second / kSampleNs) + " samples 3000"));
}

TEST_F(RealLibBladeRfTime, aHundredBurstsTenMillisecondsApartStartOnTheirTicksWhileReceiveRuns)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.configureTx({915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.setFullDuplex(true));
    ASSERT_TRUE(device.startRx());
    ASSERT_TRUE(device.startTimedTx());
    const std::int64_t first = ahead(device, 100'000'000);
    std::vector<TxEvent> events;
    {
        // A reader keeps the receive stream going meanwhile.
        const std::jthread reader([&device](std::stop_token stop) {
            std::vector<std::int16_t> received(2 * 4096);
            while (!stop.stop_requested()) {
                if (device.readNativeSamples(received.data(), 4096) == 0) {
                    std::this_thread::yield();
                }
            }
        });
        const std::vector<std::int16_t> values(2 * 1000, 9);
        for (int burst = 0; burst < 100; ++burst) {
            ASSERT_EQ(device.writeNativeBurst(values.data(), 1000, {true, first + burst * 10'000'000, true}), 1000u);
        }
        for (std::optional<TxEvent> event; events.size() < 100 && (event = awaitEvent(device));) {
            events.push_back(*event);
        }
    }
    device.stopTx();
    device.stopRx();
    ASSERT_EQ(events.size(), 100u);
    std::vector<std::string> expected;
    for (int burst = 0; burst < 100; ++burst) {
        EXPECT_EQ(events[burst].kind, TxEvent::Kind::burstSent);
        EXPECT_EQ(events[burst].timeNs, first + burst * 10'000'000);
        expected.push_back("tx burst at " + std::to_string((first + burst * 10'000'000) / kSampleNs) + " samples 1000");
    }
    EXPECT_THAT(bursts(), ::testing::ElementsAreArray(expected));
}

} // namespace
} // namespace veltrano
