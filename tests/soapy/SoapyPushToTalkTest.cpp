// SPDX-License-Identifier: MIT
// Push-to-talk on a HackRF: a transmit burst pauses the running receive
// stream, which resumes by itself at its own settings once the burst ends.
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/soapy/SoapyFixture.h"
#include "tests/support/Eventually.h"

#include <SoapySDR/Logger.hpp>
#include <gmock/gmock.h>

#include <atomic>
#include <complex>
#include <string>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

// Receive transfers come only when a test delivers them, so what a read
// finds never hangs on how fast the reader is.
constexpr const char* kBoard = "board H1\ntx-free-run 16384\ntx-record off\ntx-flush 1\n";

std::vector<std::string> switchLog;

void keepSwitch(const SoapySDRLogLevel level, const char* message)
{
    if (level == SOAPY_SDR_DEBUG && std::string(message).find("RX ") != std::string::npos) {
        switchLog.emplace_back(message);
    }
}

// Whether the burst ends with a drained END_BURST or with the stream's deactivation.
class SoapyPushToTalk : public test::SoapyModule {
protected:
    // Once the receive stream has been started `starts` times (the last one
    // stopped no transmit stream is left running to take the transfer), the
    // board delivers one transfer to it.
    void deliverOnceReceiving(std::size_t starts)
    {
        ASSERT_TRUE(test::eventually([&] { return hackRf().calls("hackrf_start_rx").size() == starts; }));
        const test::HackRfSimulatorControl board;
        const std::vector<std::uint8_t> transfer(16384, 7);
        ASSERT_EQ(board.deliver(transfer.data(), 16384, 16384), 0);
    }
};
class SoapyPushToTalkBursts : public SoapyPushToTalk, public ::testing::WithParamInterface<bool> {};

TEST_P(SoapyPushToTalkBursts, aBurstPausesReceiveWhichResumesAtItsOwnSettings)
{
    const bool endBurst = GetParam();
    simulateHackRf(kBoard);
    switchLog.clear();
    SoapySDR::registerLogHandler(keepSwitch);
    SoapySDR::setLogLevel(SOAPY_SDR_DEBUG);
    const auto device = make("driver=veltrano");
    device->setFrequency(SOAPY_SDR_TX, 0, 433e6);
    device->setSampleRate(SOAPY_SDR_TX, 0, 2e6);
    device->setFrequency(SOAPY_SDR_RX, 0, 100e6);
    device->setSampleRate(SOAPY_SDR_RX, 0, 4e6);
    device->writeSetting("rx_amplifier", "true");
    EXPECT_FALSE(device->getFullDuplex(SOAPY_SDR_RX, 0)); // it takes turns
    SoapySDR::Stream* rx = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS8);
    SoapySDR::Stream* tx = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CF32);
    std::vector<std::int8_t> received(2 * 5000); // more than a transfer holds
    const std::vector<std::complex<float>> burst(3000, {0.5F, -0.5F});
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            deliverOnceReceiving(1);
        }
        EXPECT_GT(read(*device, rx, received.data(), 5000), 0);
        if (round == 0 || !endBurst) {
            ASSERT_EQ(device->activateStream(tx), 0);
        }
        // After an END_BURST the transmit stream stays active; its next
        // write starts the next burst.
        EXPECT_EQ(write(*device, tx, burst.data(), burst.size()), 3000);
        EXPECT_EQ(readTimed(*device, rx, received.data(), 5000, 20'000).result, SOAPY_SDR_TIMEOUT);
        EXPECT_EQ(write(*device, tx, burst.data(), burst.size(), endBurst ? SOAPY_SDR_END_BURST : 0), 3000);
        if (!endBurst) {
            EXPECT_EQ(device->deactivateStream(tx), 0);
        }
        // The samples from before the burst are gone: one overflow says so,
        // then the resumed receiver delivers again.
        EXPECT_EQ(read(*device, rx, received.data(), 5000), SOAPY_SDR_OVERFLOW);
        deliverOnceReceiving(static_cast<std::size_t>(round) + 2);
        EXPECT_GT(read(*device, rx, received.data(), 5000), 0);
    }
    EXPECT_EQ(device->readSetting("rx_push_to_talk_gaps"), "2");
    SoapySDR::registerLogHandler(nullptr);
    SoapySDR::setLogLevel(SOAPY_SDR_INFO);
    // From the first receive stream on: each burst is configured with the
    // transmit settings and each resume with the receive ones, amplifier too.
    std::string switches;
    for (const std::string& line : hackRf().journal()) {
        for (const char* call :
             {"hackrf_start_", "hackrf_stop_", "hackrf_set_freq", "hackrf_set_sample_rate", "hackrf_set_amp_enable"}) {
            switches += line.starts_with(call) ? line.substr(0, line.find(" ->")) + "; " : "";
        }
    }
    const std::string cycle = "hackrf_stop_rx; hackrf_set_sample_rate 2000000; hackrf_set_freq 433000000; "
                              "hackrf_set_amp_enable 0; hackrf_start_tx; hackrf_stop_tx; "
                              "hackrf_set_sample_rate 4000000; hackrf_set_freq 100000000; hackrf_set_amp_enable 1; "
                              "hackrf_start_rx; ";
    EXPECT_TRUE(switches.ends_with("hackrf_start_rx; " + cycle + cycle)) << switches;
    EXPECT_THAT(switchLog, ::testing::ElementsAre(::testing::HasSubstr("paused"), ::testing::HasSubstr("resumed"),
                                                  ::testing::HasSubstr("paused"), ::testing::HasSubstr("resumed")));
}

INSTANTIATE_TEST_SUITE_P(BurstEnds, SoapyPushToTalkBursts, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "endBurst" : "deactivate"; });

// As in a flowgraph: the sink may start first, and the reader reads on a
// thread of its own. A receive stream activated during a burst waits for its
// end and starts with nothing lost; a later burst costs one overflow.
TEST_F(SoapyPushToTalk, aReaderOnItsOwnThreadWaitsOutTheFirstBurstAndReadsThroughTheNext)
{
    simulateHackRf(kBoard);
    const auto device = make("driver=veltrano");
    SoapySDR::Stream* tx = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CS8);
    SoapySDR::Stream* rx = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS8);
    std::atomic<bool> done{false};
    std::atomic<int> overflows{0};
    std::atomic<int> samplesSinceOverflow{0};
    std::atomic<int> errors{0};
    std::thread reader([&] {
        std::vector<std::int8_t> samples(2 * 4099);
        while (!done) {
            const int result = read(*device, rx, samples.data(), 4099);
            overflows += result == SOAPY_SDR_OVERFLOW ? 1 : 0;
            samplesSinceOverflow = result == SOAPY_SDR_OVERFLOW ? 0 : samplesSinceOverflow + std::max(result, 0);
            errors += result < 0 && result != SOAPY_SDR_OVERFLOW && result != SOAPY_SDR_TIMEOUT ? 1 : 0;
        }
    });
    const std::vector<std::int8_t> burst(2 * 3000, 9);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(hackRf().calls("hackrf_start_rx").size(), static_cast<std::size_t>(round));
        EXPECT_EQ(write(*device, tx, burst.data(), 3000, SOAPY_SDR_END_BURST), 3000);
        deliverOnceReceiving(static_cast<std::size_t>(round) + 1);
        EXPECT_TRUE(test::eventually([&] { return overflows == round && samplesSinceOverflow > 0; })) << round;
    }
    done = true;
    reader.join();
    EXPECT_EQ(overflows, 1);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(device->readSetting("rx_push_to_talk_gaps"), "1");
}

} // namespace
} // namespace veltrano
