// SPDX-License-Identifier: MIT
// Live control through the real libhackrf: the requests it sends for each
// change reach the emulated board while it streams, the stream goes on
// without a gap or a mode change, and a rate change sets the board's pace.
#include "tests/reallib/RealLibHackRf.h"

#include <chrono>

namespace veltrano {
namespace {

constexpr auto rx = StreamDirection::rx;
constexpr auto tx = StreamDirection::tx;

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

TEST_F(RealLibLiveControl, transmitGainsChangeWhileTheBoardTransmits)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureTx({100e6, 2e6, 1.75e6, 10.0})) << device.lastError();
    ASSERT_TRUE(device.startTx()) << device.lastError();
    ASSERT_TRUE(device.setGain(tx, 33)) << device.lastError();
    ASSERT_TRUE(device.setGainStage(tx, "AMP", 14)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting("tx_vga_gain"), 33.0);
    EXPECT_EQ(veltrano_usb_hackrf_setting("amplifier"), 1.0);
    EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(), 2);
    device.stopTx();
}

} // namespace
} // namespace veltrano
