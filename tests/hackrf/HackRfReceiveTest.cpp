// SPDX-License-Identifier: MIT
#include "tests/support/ThroughInterface.h"
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <limits>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HackRfReceive : public test::HackRfStreamTest {};

using test::bytesCounting;
using test::bytesOf;

// The calls of a configuration are the configuration-calls test's.
TEST_F(HackRfReceive, olderUsbApisKeepTheirOverrunLimit)
{
    openBoard("usb-api 0x0105\n");
    ASSERT_TRUE(device().configureRx({100e6, 20e6, 0.0, 0.0}));
    EXPECT_THAT(calls("hackrf_set_rx_overrun_limit"), IsEmpty());
}

// A configuration outside the board's limits is refused untouched; the gain
// of an accepted one is split between the LNA and the VGA.
TEST_F(HackRfReceive, configurationIsCheckedAgainstTheBoardsLimitsAndItsGainSplit)
{
    openBoard();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double frequencyHz;
        double sampleRateHz;
        bool accepted;
    } cases[] = {{100e6, 2e6, true},        {100e6, 20e6, true},        {1e6, 10e6, true},      {6e9, 10e6, true},
                 {100e6, 1'999'999, false}, {100e6, 20'000'001, false}, {999'999, 10e6, false}, {6e9 + 1, 10e6, false},
                 {nan, 10e6, false},        {100e6, nan, false}};
    for (const auto& c : cases) {
        const std::size_t before = calls("hackrf_set_sample_rate").size();
        EXPECT_EQ(device().configureRx({c.frequencyHz, c.sampleRateHz, 0.0, 0.0}), c.accepted)
            << c.frequencyHz << " Hz at " << c.sampleRateHz;
        EXPECT_EQ(device().lastError(), c.accepted ? "" : "invalid RX configuration");
        EXPECT_EQ(calls("hackrf_set_sample_rate").size(), before + (c.accepted ? 1 : 0));
    }

    const struct {
        double gainDb;
        const char* lna;
        const char* vga;
    } gains[] = {{20, "16", "4"},    {45, "40", "6"}, {7, "0", "8"},  {101, "40", "62"}, {102, "40", "62"},
                 {1000, "40", "62"}, {nan, "0", "0"}, {-3, "0", "0"}, {5, "0", "6"},     {3, "0", "4"}};
    for (const auto& g : gains) {
        ASSERT_TRUE(device().configureRx({100e6, 10e6, 0.0, g.gainDb}));
        EXPECT_EQ(calls("hackrf_set_lna_gain").back(), std::string("hackrf_set_lna_gain ") + g.lna + " -> 0")
            << g.gainDb;
        EXPECT_EQ(calls("hackrf_set_vga_gain").back(), std::string("hackrf_set_vga_gain ") + g.vga + " -> 0")
            << g.gainDb;
    }

    startReceiving();
    EXPECT_FALSE(device().configureRx({100e6, 10e6, 0.0, 0.0}));
    EXPECT_EQ(device().lastError(), "invalid RX configuration");
}

struct FailedStep {
    const char* name;
    const char* script;
    bool sweep; // a native sweep's restart rather than a receive configuration
    bool recovered;
    const char* error;
};

class HackRfFailedStep : public HackRfReceive, public ::testing::WithParamInterface<FailedStep> {};

// A receive configuration's reopen that fails, or whose retry works, is
// pinned through the real library (the board unplugged, then back).
TEST_P(HackRfFailedStep, reopensTheBoardOnceAndRetries)
{
    openBoard(GetParam().script);
    bool recovered = false;
    if (GetParam().sweep) {
        ASSERT_TRUE(device().configureNativeSweep({0.0, 20e6, 0.0, 20.0}, 88e6, 108e6));
        EXPECT_FALSE(device().startNativeSweep());
        recovered = device().recoverNativeSweep();
    } else {
        recovered = device().configureRx({100e6, 10e6, 0.0, 20.0});
        EXPECT_EQ(device().actualRxSampleRateHz(), recovered ? 10e6 : 0.0);
    }
    EXPECT_EQ(recovered, GetParam().recovered);
    EXPECT_EQ(device().lastError(), GetParam().error);
    EXPECT_EQ(calls("hackrf_close").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HackRfFailedStep,
    ::testing::Values(
        FailedStep{"receiveRetryFails", "fail hackrf_set_sample_rate -1000\n", false, false,
                   "set sample rate: HACKRF_ERROR_LIBUSB; retry: set sample rate: HACKRF_ERROR_LIBUSB"},
        FailedStep{"sweepRetryFails", "fail hackrf_start_rx_sweep -1000\n", true, false,
                   "start native sweep: HACKRF_ERROR_LIBUSB; reopened retry: start native sweep: HACKRF_ERROR_LIBUSB"},
        FailedStep{"sweepReopenFails", "fail hackrf_start_rx_sweep -1000\nunplug-after-opens 1\n", true, false,
                   "start native sweep: HACKRF_ERROR_LIBUSB; reopen: device close/reopen failed (close: "
                   "HACKRF_SUCCESS) (open: HACKRF_ERROR_NOT_FOUND)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Whole samples arrive as signed bytes over 128 or, read natively, as the
// board sent them, until the stream ends.
TEST_F(HackRfReceive, wholeSamplesArriveAsSignedBytesOver128OrAsTheyAreUntilTheStreamEnds)
{
    startReceiving();
    ASSERT_EQ(deliver({0x80, 0x7F, 0x00, 0x01, 0xFF, 0x40}), 0);

    EXPECT_EQ(device().readSamples(nullptr, 4), 0u);
    EXPECT_TRUE(read(0).empty());
    EXPECT_THAT(read(10), ElementsAre(std::complex<float>(-1.0F, 0.9921875F), std::complex<float>(0.0F, 0.0078125F),
                                      std::complex<float>(-0.0078125F, 0.5F)));

    // Only whole samples within the transfer's buffer are taken.
    const std::vector<std::uint8_t> bytes = bytesCounting(8, 1);
    // An odd count loses its last byte; a count beyond the buffer is bounded by it.
    ASSERT_EQ(sim().deliver(bytes.data(), 8, 5), 0);
    ASSERT_EQ(sim().deliver(bytes.data(), 4, 4000), 0);
    ASSERT_EQ(sim().deliver(bytes.data(), 8, 1), 0);
    ASSERT_EQ(sim().deliver(bytes.data(), 8, -8), 0);
    std::uint8_t native[10] = {};
    EXPECT_EQ(device().readNativeSamples(nullptr, 4), 0u);
    EXPECT_EQ(device().readNativeSamples(native, 0), 0u);
    ASSERT_EQ(device().readNativeSamples(native, 5), 4u);
    EXPECT_THAT(std::vector<std::uint8_t>(native, native + 10), ElementsAre(1, 2, 3, 4, 1, 2, 3, 4, 0, 0));

    ASSERT_EQ(sim().kill(HACKRF_ERROR_LIBUSB), 0);
    EXPECT_EQ(device().readNativeSamples(native, 4), 0u);
    EXPECT_TRUE(read(10).empty());
    EXPECT_EQ(device().lastError(), "RX stream stopped: HACKRF_ERROR_LIBUSB");
    // Retuning clears the text again.
    EXPECT_TRUE(device().setRxFrequency(150e6));
    EXPECT_EQ(device().lastError(), "");
}

TEST_F(HackRfReceive, aFullRingDropsTheNewestBytesAndCountsThem)
{
    startReceiving();
    const std::vector<std::uint8_t> transfer = bytesCounting(262'144);
    for (std::size_t stored = 0; stored < kRingBytes - 262'144; stored += transfer.size()) {
        ASSERT_EQ(deliver(transfer), 0);
    }
    ASSERT_EQ(deliver(std::vector<std::uint8_t>(262'144 - 1000, 0)), 0);
    EXPECT_EQ(test::lossesOf(device()).rxDroppedBytes, 0u);
    // 1,000 bytes still fit: the first 1,000 of these are stored, the rest dropped.
    ASSERT_EQ(deliver(bytesCounting(3000, 7)), 0);
    ASSERT_EQ(deliver(bytesCounting(64)), 0);
    EXPECT_EQ(test::lossesOf(device()).rxDroppedBytes, 2000u + 64u);

    // However many samples are asked for, one call returns at most the ring.
    std::vector<std::complex<float>> samples(kRingBytes / 2);
    ASSERT_EQ(device().readSamples(samples.data(), std::numeric_limits<std::size_t>::max() / 2 + 1), kRingBytes / 2);
    const std::vector<std::uint8_t> tail = bytesOf({samples.end() - 500, samples.end()});
    EXPECT_EQ(tail, bytesCounting(1000, 7));
    EXPECT_EQ(bytesOf({samples.begin(), samples.begin() + 2}), bytesCounting(4));

    device().stopRx();
    startReceiving();
    EXPECT_EQ(test::lossesOf(device()).rxDroppedBytes, 0u);
}

TEST_F(HackRfReceive, aRetuneFlushesTheRingAndDiscardsTheSettlingBytes)
{
    startReceiving();
    ASSERT_EQ(deliver(bytesCounting(4000)), 0);

    ASSERT_TRUE(device().setRxFrequency(200e6));
    EXPECT_THAT(calls("hackrf_set_freq"),
                ElementsAre("hackrf_set_freq 100000000 -> 0", "hackrf_set_freq 200000000 -> 0"));
    // Nothing to discard yet: no waiting for it. What the ring held is
    // counted as discarded, and so is the settling that follows.
    EXPECT_TRUE(read(100).empty());
    EXPECT_THAT(calls("hackrf_is_streaming"), IsEmpty());
    EXPECT_EQ(test::lossesOf(device()).rxDiscardedSamples, 2000u);

    const std::vector<std::uint8_t> settling(kRetuneDiscardBytes / 5, 0x55);
    for (int transfer = 0; transfer < 5; ++transfer) {
        ASSERT_EQ(deliver(settling), 0);
    }
    ASSERT_EQ(deliver({1, 2, 3, 4}), 0);
    EXPECT_THAT(bytesOf(read(100)), ElementsAre(1, 2, 3, 4));
    EXPECT_EQ(test::lossesOf(device()).rxDiscardedSamples, 2000u + kRetuneDiscardBytes / 2);

    // The same frequency again changes nothing on the board or in the ring.
    ASSERT_EQ(deliver({5, 6}), 0);
    ASSERT_TRUE(device().setRxFrequency(200e6));
    EXPECT_EQ(calls("hackrf_set_freq").size(), 2u);
    EXPECT_THAT(bytesOf(read(100)), ElementsAre(5, 6));
    EXPECT_EQ(test::lossesOf(device()).rxDiscardedSamples, 2000u + kRetuneDiscardBytes / 2);
}

// The amplifier choice is kept only when the board took it.
TEST_F(HackRfReceive, tuningAndAmplifierFailuresLeaveTheSettingAndTheRing)
{
    openBoard("fail hackrf_set_freq -1000 1\nfail hackrf_set_amp_enable -1000 1\n");
    EXPECT_FALSE(device().setRxAmplifier(true));
    EXPECT_TRUE(device().setRxAmplifier(true));
    EXPECT_EQ(device().lastError(), "");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double invalid : {999'999.0, 6e9 + 1, nan}) {
        EXPECT_FALSE(device().setRxFrequency(invalid));
        EXPECT_EQ(device().lastError(), "invalid RX frequency");
    }
    EXPECT_FALSE(device().setRxFrequency(300e6));
    EXPECT_EQ(device().lastError(), "set frequency: HACKRF_ERROR_LIBUSB");
    startReceiving();
    EXPECT_THAT(calls("hackrf_set_amp_enable"),
                ElementsAre("hackrf_set_amp_enable 1 -> -1000", "hackrf_set_amp_enable 1 -> 0",
                            "hackrf_set_amp_enable 1 -> 0"));
    ASSERT_EQ(deliver({9, 9}), 0);
    EXPECT_THAT(bytesOf(read(10)), ElementsAre(9, 9));
}

TEST_F(HackRfReceive, startNeedsAConfigurationAndHappensOnceAndAFailedStartLeavesNothingRunning)
{
    openBoard("fail hackrf_start_rx -1000 1\n");
    EXPECT_FALSE(device().startRx());
    EXPECT_EQ(device().lastError(), "");
    ASSERT_TRUE(device().configureRx({100e6, 10e6, 0.0, 0.0}));
    EXPECT_FALSE(device().startRx());
    EXPECT_EQ(device().lastError(), "start RX: HACKRF_ERROR_LIBUSB");
    EXPECT_TRUE(read(10).empty());
    device().stopRx();
    EXPECT_THAT(calls("hackrf_stop_rx"), IsEmpty());

    ASSERT_TRUE(device().startRx());
    ASSERT_EQ(deliver({1, 2}), 0);
    EXPECT_TRUE(device().startRx());
    EXPECT_THAT(bytesOf(read(10)), ElementsAre(1, 2));
    EXPECT_EQ(calls("hackrf_start_rx").size(), 2u);

    device().stopRx();
    device().stopRx();
    EXPECT_THAT(calls("hackrf_stop_rx"), ElementsAre("hackrf_stop_rx -> 0"));
    EXPECT_TRUE(read(10).empty());
    EXPECT_EQ(deliver({1, 2}), -1);
}

} // namespace
} // namespace veltrano
