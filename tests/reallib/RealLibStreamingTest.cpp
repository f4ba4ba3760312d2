// SPDX-License-Identifier: MIT
// Versions, receive, retune, native sweep and transmit through the real
// libhackrf: what the emulated board sends arrives unchanged, and what the
// device queues reaches the board byte for byte. Live control: the requests
// the library sends for each change reach the board while it streams, the
// stream goes on without a gap or a mode change, and a rate change sets the
// board's pace.
#include "tests/reallib/RealLibHackRf.h"

#include <chrono>

namespace veltrano {
namespace {

constexpr auto rx = StreamDirection::rx;
constexpr auto tx = StreamDirection::tx;

class RealLibStreaming : public test::RealLibHackRf {};

TEST_F(RealLibStreaming, receiveDeliversTheBoardsStreamAndARetuneDiscardsWhatCameBefore)
{
    // Listing the board through the real library is pinned by the probe's
    // run on the bus of both boards and by the several-boards test.
    HackRfSdrDevice device(test::kEmulatedSerial);
    EXPECT_EQ(device.firmwareVersion(), "usb-emulated-2026.01");
    EXPECT_EQ(device.usbApiVersion(), 0x0107);
    ASSERT_TRUE(device.configureRx({100e6, 2e6, 1.75e6, 20.0})) << device.lastError();
    ASSERT_TRUE(device.startRx()) << device.lastError();

    ASSERT_TRUE(test::streamPositionOf(test::receiveBytes(device, 100'000)));
    ASSERT_TRUE(device.setRxFrequency(101e6)) << device.lastError();
    const std::uint64_t retunedAt = veltrano_usb_hackrf_rx_position_at_last_tune();
    const std::optional<std::uint64_t> resumedAt = test::streamPositionOf(test::receiveBytes(device, 100'000));
    ASSERT_TRUE(resumedAt.has_value());
    // The discard counts 1,310,720 bytes from the ring's clear. Bytes the board
    // sent before the retune but still in libhackrf's four 256 KiB transfers
    // arrive after the clear and count towards it, so the stream resumes within
    // those four transfers either side of retune + 1,310,720; being fewer than
    // the discard, none of the old bytes ever reaches the client.
    constexpr std::uint64_t inFlight = 4 * 262'144;
    EXPECT_GE(*resumedAt, retunedAt + 1'310'720 - inFlight);
    EXPECT_LE(*resumedAt, retunedAt + 1'310'720 + inFlight);
    EXPECT_EQ(device.rxDroppedBytes(), 0u);
    device.stopRx();
}

TEST_F(RealLibStreaming, aNativeSweepDeliversTheProgrammedStepsWithTheirUsableRanges)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureNativeSweep({98e6, 20e6, 15e6, 20.0}, 88e6, 108e6)) << device.lastError();
    ASSERT_TRUE(device.startNativeSweep()) << device.lastError();

    // 88 to 108 MHz in 20 MHz steps, interleaved: steps at 88 and 93 MHz, each
    // usable in its first and third quarter (88-93 and 98-103 MHz, then 93-98 and 103-108).
    for (int i = 0; i < 6; ++i) {
        NativeSweepBlock block;
        ASSERT_TRUE(test::eventually([&] { return device.readNativeSweepBlock(block); })) << device.lastError();
        const bool first = i % 2 == 0;
        EXPECT_EQ(block.centerFrequencyHz, (first ? 88e6 : 93e6) + 7.5e6);
        EXPECT_EQ(block.sampleRateHz, 20e6);
        EXPECT_EQ(block.sweepStart, first);
        EXPECT_EQ(block.samples.size(), 512u);
        ASSERT_EQ(block.validRanges.size(), 2u);
        for (std::size_t r = 0; r < 2; ++r) {
            EXPECT_EQ(block.validRanges[r].minimumHz, (first ? 88e6 : 93e6) + 10e6 * static_cast<double>(r));
            EXPECT_EQ(block.validRanges[r].maximumHz, block.validRanges[r].minimumHz + 5e6);
        }
    }
    device.stopRx();
}

// Every non-zero byte value in turn, from an offset: the board's record then
// shows exactly where a burst begins and ends.
struct MarkedBurst {
    std::vector<std::uint8_t> bytes;
    std::vector<std::complex<float>> samples;
};

MarkedBurst markedBurst(std::size_t count, std::size_t offset)
{
    MarkedBurst burst;
    for (std::size_t k = offset; k < offset + 2 * count; ++k) {
        const int value = static_cast<int>(k % 254);
        burst.bytes.push_back(static_cast<std::uint8_t>(value < 127 ? value - 127 : value - 126));
    }
    for (std::size_t i = 0; i < count; ++i) {
        burst.samples.emplace_back(static_cast<std::int8_t>(burst.bytes[2 * i]) / 127.0f,
                                   static_cast<std::int8_t>(burst.bytes[2 * i + 1]) / 127.0f);
    }
    return burst;
}

TEST_F(RealLibStreaming, transmitSendsWhatWasQueuedWithSilenceBetweenAndDrainsThroughTheFlushWhileGainsChange)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureTx({100e6, 2e6, 1.75e6, 0.0})) << device.lastError();
    ASSERT_TRUE(device.startTx()) << device.lastError();
    ASSERT_TRUE(test::eventually([] { return veltrano_usb_hackrf_tx_bytes() > 0; }));
    // Gains change while the board transmits.
    ASSERT_TRUE(device.setGain(tx, 33) && device.setGainStage(tx, "AMP", 14)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting("tx_vga_gain"), 33.0);
    EXPECT_EQ(veltrano_usb_hackrf_setting("amplifier"), 1.0);
    EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(), 2);

    const MarkedBurst bursts[] = {markedBurst(100'000, 0), markedBurst(50'000, 77)};
    for (const MarkedBurst& burst : bursts) {
        // Let the ring run dry before each burst, so silence comes between.
        const std::uint64_t underrunBefore = device.txUnderrunBytes();
        ASSERT_TRUE(test::eventually([&] { return device.txUnderrunBytes() > underrunBefore + 262'144; }));
        std::size_t written = 0;
        ASSERT_TRUE(test::eventually([&] {
            written += device.writeSamples(burst.samples.data() + written, burst.samples.size() - written);
            return written == burst.samples.size();
        }));
    }
    EXPECT_TRUE(device.drainTx({})) << device.lastError();
    device.stopTx();

    std::vector<std::uint8_t> sent(veltrano_usb_hackrf_tx_bytes());
    sent.resize(veltrano_usb_hackrf_tx_copy(sent.data(), 0, sent.size()));
    auto at = sent.begin();
    for (const MarkedBurst& burst : bursts) {
        at = std::find_if(at, sent.end(), [](std::uint8_t byte) { return byte != 0; });
        ASSERT_GE(sent.end() - at, static_cast<std::ptrdiff_t>(burst.bytes.size()));
        EXPECT_TRUE(std::equal(burst.bytes.begin(), burst.bytes.end(), at));
        at += static_cast<std::ptrdiff_t>(burst.bytes.size());
    }
    EXPECT_TRUE(std::all_of(at, sent.end(), [](std::uint8_t byte) { return byte == 0; }));
}

class RealLibLiveControl : public test::RealLibHackRf {};

TEST_F(RealLibLiveControl, changesReachTheStreamingBoardWithNoGapAndNoModeChange)
{
    // The board opens its journal when the library first reaches it, below.
    const test::TemporaryDirectory directory;
    const test::ScopedEnvironment journal("VELTRANO_USB_HACKRF_JOURNAL", test::environmentText(directory / "journal"));
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureRx({100e6, 2e6, 0.0, 20.0})) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting("baseband_filter"), 1'750'000.0);
    ASSERT_TRUE(device.startRx()) << device.lastError();
    std::vector<std::uint8_t> bytes = test::receiveBytes(device, 100'000);
    const std::size_t journalBefore = test::readLines(directory / "journal").size();

    ASSERT_TRUE(device.setGainStage(rx, "LNA", 32)) << device.lastError();
    ASSERT_TRUE(device.setGainStage(rx, "VGA", 41)) << device.lastError();
    ASSERT_TRUE(device.setGainStage(rx, "AMP", 14)) << device.lastError();
    ASSERT_TRUE(device.setBandwidth(rx, 5e6)) << device.lastError();
    ASSERT_TRUE(device.setBiasTee(rx, true)) << device.lastError();
    const std::vector<std::uint8_t> after = test::receiveBytes(device, 400'000);
    bytes.insert(bytes.end(), after.begin(), after.end());
    EXPECT_TRUE(test::streamPositionOf(bytes).has_value());
    EXPECT_EQ(device.rxDroppedBytes(), 0u);

    const std::pair<const char*, double> expected[] = {
        {"lna_gain", 32}, {"vga_gain", 42}, {"amplifier", 1}, {"baseband_filter", 5e6}, {"antenna_power", 1}};
    for (const auto& [setting, value] : expected) {
        EXPECT_EQ(veltrano_usb_hackrf_setting(setting), value) << setting;
    }
    const std::vector<std::string> lines = test::readLines(directory / "journal");
    ASSERT_GT(lines.size(), journalBefore);
    for (auto line = lines.begin() + static_cast<std::ptrdiff_t>(journalBefore); line != lines.end(); ++line) {
        EXPECT_FALSE(line->starts_with("control out 1 ")) << *line; // a transceiver mode request
    }
    EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(), 1);
    device.stopRx();
}

TEST_F(RealLibLiveControl, aLiveRateChangeSetsThePaceTheBoardDeliversAt)
{
    using Clock = std::chrono::steady_clock;
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureRx({100e6, 8e6, 0.0, 20.0})) << device.lastError();
    ASSERT_TRUE(device.startRx()) << device.lastError();
    ASSERT_EQ(test::receiveBytes(device, 1'000'000).size(), 1'000'000u);
    ASSERT_TRUE(device.setSampleRate(rx, 2e6)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting("sample_rate"), 2e6);

    // Over two seconds a reader that keeps up gets the board's new rate; a
    // reader slowed by a loaded machine catches up from the ring.
    std::vector<std::complex<float>> samples(65536);
    ASSERT_TRUE(test::eventually([&] { return device.readSamples(samples.data(), 1) == 1; }));
    const Clock::time_point start = Clock::now();
    std::size_t received = 0;
    while (Clock::now() - start < std::chrono::seconds(2)) {
        received += device.readSamples(samples.data(), samples.size());
    }
    const double rate = static_cast<double>(received) / std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_NEAR(rate, 2e6, 2e5);
    EXPECT_EQ(device.rxDroppedBytes(), 0u);
    device.stopRx();
}

} // namespace
} // namespace veltrano
