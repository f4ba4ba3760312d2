// SPDX-License-Identifier: MIT
// Time on the bladeRF x40 (built with VELTRANO_EMULATED_MICRO, the bladeRF 2.0
// micro in the library's default host tuning mode) through Debian's real
// libbladeRF and the USB-level emulated board: retunes scheduled on its
// counter, stamped reads, timed receive starts and timed transmit bursts.
#include "device/bladerf/BladeRfApi.h"
#include "tests/reallib/CallTiming.h"
#include "tests/reallib/RealLibBladeRf.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veltrano {
namespace {

using test::kPatternPeriod;
using test::RealLibBladeRf;
using test::timestampOf;

constexpr const char* kSerial = test::kEmulatedBladeRfSerial;

// A quick retune scheduled through the library ahead of the board's clock
// takes effect at its timestamp: samples before it have the old tuning, from
// it on the new one.
TEST_F(RealLibBladeRf, aTimedQuickRetuneTakesEffectAtItsTimestamp)
{
    const BladeRfApi& api = bladeRfApi();
    ASSERT_TRUE(api.loaded);
    bladerf* board = nullptr;
    ASSERT_EQ(api.open(&board, (std::string("*:serial=") + kSerial).c_str()), 0);
    const std::unique_ptr<bladerf, decltype(api.close)> closer(board, api.close);
    bladerf_sample_rate actual = 0;
    bladerf_quick_tune before{};
    bladerf_quick_tune hop{};
    const bladerf_channel rx = BLADERF_CHANNEL_RX(0);
    ASSERT_EQ(api.setSampleRate(board, rx, 1'000'000, &actual), 0);
    ASSERT_EQ(api.setFrequency(board, rx, 868'300'000), 0);
    ASSERT_EQ(api.getQuickTune(board, rx, &hop), 0);
    ASSERT_EQ(api.setFrequency(board, rx, 915'000'000), 0);
    ASSERT_EQ(api.getQuickTune(board, rx, &before), 0);
    ASSERT_EQ(api.syncConfig(board, BLADERF_RX_X1, BLADERF_FORMAT_SC16_Q11_META, 16, 8192, 8, 1000), 0);
    ASSERT_EQ(api.enableModule(board, rx, true), 0);

    // The PLL words in force at a sample, as the board reports them.
    const auto wordsAt = [](std::uint64_t timestamp) {
        std::pair<std::uint32_t, std::uint32_t> words{};
        EXPECT_EQ(veltrano_usb_bladerf_rx_tuning_at(nullptr, timestamp, &words.first, &words.second), 1) << timestamp;
        return words;
    };
    // A request that reaches the board late is applied at once (later than
    // asked), and asked again further ahead. Earlier than asked is the fault.
    std::uint64_t at = 0;
    for (const std::uint64_t ahead : {4'000, 40'000, 400'000}) {
        // Each attempt starts from the old tuning, whatever a late one left.
        ASSERT_EQ(api.scheduleRetune(board, rx, BLADERF_RETUNE_NOW, 0, &before), 0);
        const std::uint64_t applied = veltrano_usb_bladerf_retunes_applied(nullptr);
        bladerf_timestamp now = 0;
        ASSERT_EQ(api.getTimestamp(board, BLADERF_RX, &now), 0);
        ASSERT_EQ(api.scheduleRetune(board, rx, now + ahead, 0, &hop), 0);
        // Read past the timestamp: the board's counter gets there meanwhile.
        std::vector<std::int16_t> values(2 * 4096);
        bladerf_metadata metadata{};
        metadata.timestamp = now + ahead - 2048;
        ASSERT_EQ(api.syncRx(board, values.data(), 4096, &metadata, 5000), 0);
        ASSERT_EQ(veltrano_usb_bladerf_retunes_applied(nullptr), applied + 1);
        std::uint64_t appliedAt = 0, requestedAt = 0;
        ASSERT_EQ(veltrano_usb_bladerf_retune(nullptr, applied, nullptr, &appliedAt, &requestedAt), 1);
        EXPECT_EQ(requestedAt, now + ahead);
        ASSERT_GE(appliedAt, now + ahead) << "applied before its timestamp";
        if (appliedAt == now + ahead) {
            at = appliedAt;
#ifdef VELTRANO_EMULATED_MICRO
            // The micro's records name a stored profile, not PLL words: the
            // hop's are those in force from its timestamp on, and its profile
            // recalled 868.3 MHz.
            const auto beforeWords = wordsAt(at - 1), hopWords = wordsAt(at);
            EXPECT_NE(beforeWords, hopWords);
            EXPECT_THAT(journal(), testing::Contains(testing::MatchesRegex(
                                       "retune rx " + std::to_string(at) + " requested=" + std::to_string(at) +
                                       " profile=[0-9]+ frequency=868300000 quick=1")));
#else
            const std::pair beforeWords{std::uint32_t{before.nint}, before.nfrac};
            const std::pair hopWords{std::uint32_t{hop.nint}, hop.nfrac};
#endif
            // The samples read around it, by the timestamps their pattern names.
            for (std::size_t k = 0; k < 4096; ++k) {
                ASSERT_EQ(timestampOf(&values[2 * k]), (at - 2048 + k) % kPatternPeriod);
                ASSERT_EQ(wordsAt(at - 2048 + k), k < 2048 ? beforeWords : hopWords) << "sample " << k;
            }
            break;
        }
    }
    EXPECT_NE(at, 0u) << "never scheduled in time";
    EXPECT_EQ(api.enableModule(board, rx, false), 0);
}

// Hardware time: the receive pattern names each sample's tick and the board
// journals every burst where it starts, so stamps, timed starts and timed
// bursts are checked against the board's own counter.
constexpr double kTimeRate = 2e6;
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
        std::vector<std::string> lines = journal();
        std::erase_if(lines, [](const std::string& line) { return !line.starts_with("tx burst"); });
        return lines;
    }
};

TEST_F(RealLibBladeRfTime, readsAreStampedContiguouslyAndATimedStartDeliversItsSampleFirst)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, kTimeRate, 0.0, 20.0}));
    ASSERT_TRUE(device.hasHardwareTime());
    // The time runs with the board's counter, and setting it moves only the
    // offset. (At least 50 ms pass: a loaded machine only makes it more.)
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
    ASSERT_TRUE(device.configureTx({915e6, kTimeRate, 0.0, 20.0}));
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
    ASSERT_TRUE(device.configureRx({915e6, kTimeRate, 0.0, 20.0}));
    ASSERT_TRUE(device.configureTx({915e6, kTimeRate, 0.0, 20.0}));
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
