// SPDX-License-Identifier: MIT
#include "tests/support/ThroughInterface.h"
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <limits>
#include <thread>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HackRfTransmit : public test::HackRfStreamTest {
protected:
    std::size_t write(const std::vector<std::complex<float>>& samples)
    {
        return device().writeSamples(samples.data(), samples.size());
    }

    // Writes single samples until the device refuses one because drainTx has
    // begun; returns how many it took meanwhile.
    std::size_t waitUntilDraining(std::complex<float> filler)
    {
        std::size_t taken = 0;
        while (device().writeSamples(&filler, 1) == 1) {
            ++taken;
            std::this_thread::yield();
        }
        return taken;
    }
};

// A configuration outside the board's limits is refused, the gain of an
// accepted one limited; its calls are the configuration-calls test's.
TEST_F(HackRfTransmit, configurationIsValidatedAndTheGainLimited)
{
    openBoard();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        StreamConfig config;
        const char* gain; // the TX VGA gain applied, or null when refused
    } cases[] = {
        {{100e6, 2e6, 1.75e6, 50.0}, "47"},
        {{100e6, 20e6, 1.75e6, -5.0}, "0"},
        {{1e6, 10e6, 1.75e6, nan}, "0"},
        {{6e9, 10e6, 1.75e6, 10.5}, "11"},
        {{100e6, 10e6, 1.75e6, 46.4}, "46"},
        {{100e6, 10e6, 0.0, 20.0}, nullptr},
        {{100e6, 10e6, nan, 20.0}, nullptr},
        {{100e6, 1'999'999, 1.75e6, 20.0}, nullptr},
        {{100e6, 20'000'001, 1.75e6, 20.0}, nullptr},
        {{999'999, 10e6, 1.75e6, 20.0}, nullptr},
        {{nan, 10e6, 1.75e6, 20.0}, nullptr},
    };
    for (const auto& c : cases) {
        const std::size_t before = calls("hackrf_set_txvga_gain").size();
        EXPECT_EQ(device().configureTx(c.config), c.gain != nullptr) << c.config.gainDb;
        if (c.gain != nullptr) {
            EXPECT_EQ(calls("hackrf_set_txvga_gain").back(), std::string("hackrf_set_txvga_gain ") + c.gain + " -> 0");
        } else {
            EXPECT_EQ(device().lastError(), "invalid TX configuration");
            EXPECT_EQ(calls("hackrf_set_txvga_gain").size(), before);
        }
    }
    // The refused configuration leaves the transmitter unconfigured.
    EXPECT_FALSE(device().startTx());
    EXPECT_EQ(device().lastError(), "");
}

struct TransmitFailure {
    const char* name;
    const char* variant;
    const char* script;
    const char* error;
};

class HackRfTransmitFailure : public HackRfTransmit, public ::testing::WithParamInterface<TransmitFailure> {};

TEST_P(HackRfTransmitFailure, aTransmitterThatCannotStartSaysWhy)
{
    openBoard(GetParam().script, GetParam().variant);
    if (device().configureTx({433.92e6, 10e6, 1.75e6, 20.0})) {
        EXPECT_FALSE(device().startTx());
    }
    EXPECT_EQ(device().lastError(), GetParam().error);
    EXPECT_EQ(write(std::vector<std::complex<float>>(4)), 0u);
    device().stopTx();
    EXPECT_THAT(calls("hackrf_stop_tx"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HackRfTransmitFailure,
    ::testing::Values(TransmitFailure{"noTransmitGain", "sim-hackrf-no-txvga", "", "invalid TX configuration"},
                      TransmitFailure{"noFilterControl", "sim-hackrf-no-baseband-filter", "",
                                      "HackRF TX baseband filter control is unavailable; update libhackrf"},
                      TransmitFailure{"gainRefused", "sim-hackrf", "fail hackrf_set_txvga_gain -1000\n",
                                      "set TX VGA gain: HACKRF_ERROR_LIBUSB"},
                      TransmitFailure{"noFlush", "sim-hackrf-no-tx-flush", "",
                                      "HackRF TX completion is unavailable; update libhackrf"},
                      TransmitFailure{"flushRefused", "sim-hackrf", "fail hackrf_enable_tx_flush -1000\n",
                                      "enable TX flush: HACKRF_ERROR_LIBUSB"},
                      TransmitFailure{"startRefused", "sim-hackrf", "fail hackrf_start_tx -1000\n",
                                      "start TX: HACKRF_ERROR_LIBUSB"}),
    [](const auto& info) { return std::string(info.param.name); });

// Native writes queue the client's bytes as they are, float ones converted
// (pinned bit for bit by the conversion kernels' tests); silence goes out
// where the ring ran dry, counted; either kind takes only what the ring holds.
TEST_F(HackRfTransmit, writesTakeTheClientsSamplesWithSilenceWhereTheRingRanDryAndOnlyWhatTheRingHolds)
{
    const std::int8_t bytes[] = {-128, 127, -1, 0, 1, -127};
    EXPECT_EQ(device().writeNativeSamples(bytes, 3), 0u); // not streaming
    startTransmitting();
    EXPECT_THAT(pull(4), ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(test::lossesOf(device()).txUnderruns, 1u);
    EXPECT_EQ(test::lossesOf(device()).txUnderrunBytes, 4u);
    EXPECT_EQ(device().writeNativeSamples(nullptr, 3), 0u);
    EXPECT_EQ(device().writeNativeSamples(bytes, 0), 0u);
    ASSERT_EQ(device().writeNativeSamples(bytes, 3), 3u);
    ASSERT_EQ(write({{0.5F, -0.5F}}), 1u);
    EXPECT_THAT(pull(12), ElementsAre(-128, 127, -1, 0, 1, -127, 64, -64, 0, 0, 0, 0));
    EXPECT_EQ(lastResult, 0);
    EXPECT_EQ(test::lossesOf(device()).txUnderruns, 2u);
    EXPECT_EQ(test::lossesOf(device()).txUnderrunBytes, 8u);

    const std::vector<std::complex<float>> full(kRingBytes / 2, {0.25F, 0.25F});
    ASSERT_EQ(write(full), full.size());
    EXPECT_EQ(write({{0.5F, 0.5F}}), 0u);
    ASSERT_EQ(pull(1001).size(), 1001u);
    // However many samples are offered, only the 500 whole ones that fit are read.
    std::vector<std::complex<float>> offered(600, {-0.5F, 0.5F});
    EXPECT_EQ(device().writeSamples(offered.data(), std::numeric_limits<std::size_t>::max() / 2 + 1), 500u);

    // A second start keeps the running stream and its ring.
    EXPECT_TRUE(device().startTx());
    EXPECT_EQ(calls("hackrf_start_tx").size(), 1u);
    EXPECT_THAT(pull(2), ElementsAre(32, 32));
}

TEST_F(HackRfTransmit, receiveAndTransmitExcludeEachOther)
{
    // One half-duplex chain: full duplex cannot be switched on.
    EXPECT_FALSE(device().supportsFullDuplex());
    EXPECT_FALSE(device().setFullDuplex(true));
    EXPECT_TRUE(device().setFullDuplex(false));
    EXPECT_FALSE(device().fullDuplex());
    startReceiving();
    EXPECT_FALSE(device().configureTx({433.92e6, 10e6, 1.75e6, 20.0}));
    EXPECT_EQ(device().lastError(), "invalid TX configuration");
    device().stopRx();
    startTransmitting();
    EXPECT_FALSE(device().startRx());
    EXPECT_FALSE(device().configureRx({100e6, 10e6, 0.0, 20.0}));
    EXPECT_FALSE(device().setRxFrequency(101e6));
    EXPECT_FALSE(device().setRxAmplifier(true));
    EXPECT_FALSE(device().configureNativeSweep({0.0, 20e6, 0.0, 20.0}, 88e6, 108e6));

    device().stopTx();
    device().stopTx();
    EXPECT_THAT(calls("hackrf_stop_tx"), ElementsAre("hackrf_stop_tx -> 0"));
    EXPECT_FALSE(device().drainTx({}));
    EXPECT_EQ(device().lastError(), "TX stream is not active");
}

struct DrainOutcome {
    const char* name;
    const char* script;
    bool drained;
    const char* error;
};

class HackRfDrain : public HackRfTransmit, public ::testing::WithParamInterface<DrainOutcome> {};

TEST_P(HackRfDrain, whatIsLeftGoesOutAsAShortLastTransferAndTheFlushDecides)
{
    openBoard(GetParam().script);
    startTransmitting();
    const std::complex<float> filler(0.5F, -0.5F);
    ASSERT_EQ(write(std::vector<std::complex<float>>(10, filler)), 10u);
    bool drained = !GetParam().drained;
    std::thread drainer([&] { drained = device().drainTx({}); });
    const std::size_t total = 10 + waitUntilDraining(filler);

    std::vector<std::int8_t> sent;
    for (std::vector<std::int8_t> transfer = pull(16); lastResult == 0; transfer = pull(16)) {
        ASSERT_FALSE(transfer.empty());
        sent.insert(sent.end(), transfer.begin(), transfer.end());
    }
    drainer.join();

    EXPECT_EQ(lastResult, 1);
    std::vector<std::int8_t> written;
    for (std::size_t sample = 0; sample < total; ++sample) {
        written.insert(written.end(), {64, -64});
    }
    EXPECT_EQ(sent, written);
    EXPECT_EQ(drained, GetParam().drained);
    EXPECT_EQ(device().lastError(), GetParam().error);
    EXPECT_EQ(write({filler}), 0u);
    EXPECT_EQ(test::lossesOf(device()).txUnderrunBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Flush, HackRfDrain,
                         ::testing::Values(DrainOutcome{"flushed", "", true, ""},
                                           DrainOutcome{"flushFailed", "tx-flush 0\n", false, "HackRF TX flush failed"},
                                           DrainOutcome{"neverFlushed", "tx-flush never\n", false,
                                                        "HackRF TX completion timed out"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HackRfTransmit, aDrainEndsEarlyOnItsStopTokenOrAStoppedStream)
{
    startTransmitting();
    std::stop_source early;
    early.request_stop();
    EXPECT_FALSE(device().drainTx(early.get_token()));
    ASSERT_EQ(write({{0.5F, 0.5F}}), 1u); // not draining

    std::stop_source stop;
    bool drained = true;
    std::thread drainer([&] { drained = device().drainTx(stop.get_token()); });
    waitUntilDraining({0.5F, 0.5F});
    stop.request_stop();
    drainer.join();
    EXPECT_FALSE(drained);
    EXPECT_EQ(device().lastError(), "");

    device().stopTx();
    ASSERT_TRUE(device().startTx());
    drainer = std::thread([&] { drained = device().drainTx({}); });
    waitUntilDraining({0.5F, 0.5F});
    device().stopTx();
    drainer.join();
    EXPECT_FALSE(drained);
    EXPECT_EQ(device().lastError(), "TX stream stopped before completion");
}

} // namespace
} // namespace veltrano
