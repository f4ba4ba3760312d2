// SPDX-License-Identifier: MIT
// Both channels of the emulated bladeRF 2.0 micro through Debian's real
// libbladeRF and the device layer, in the tuning mode the build names. The
// board streams the channels the library enables in its RF front-end control
// word: receive pairs carry channel 0's pattern and, in the second half,
// channel 1's (the same with I and Q exchanged), and each channel's transmit
// samples land in a capture of their own.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/ThroughInterface.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

using test::distance;
using test::RealLibBladeRf;
using test::timestampOf;
using ::testing::Contains;
using ::testing::ElementsAre;

constexpr const char* kSerial = test::kEmulatedBladeRfSerial;
constexpr double kRate = 10e6;
constexpr auto kRx = StreamDirection::rx;
constexpr auto kTx = StreamDirection::tx;

#ifdef VELTRANO_SANITIZED
// The instrumented or emulated reader may fall behind: shorter runs, and gaps beside the forced ones.
constexpr bool kReaderMayFallBehind = true;
#else
constexpr bool kReaderMayFallBehind = false;
#endif

// libbladeRF's channels: RX0, TX0, RX1, TX1.
unsigned libraryChannel(StreamDirection direction, unsigned channel)
{
    return 2 * channel + (direction == kTx ? 1 : 0);
}

// Follows both channels of a receive stream: at every index channel 1 holds
// channel 0's sample with I and Q exchanged, and each gap (a step other than
// one) is recorded with its size once, the same on both channels.
struct PairFollower {
    // Whole library reads (the device layer drops a read's surplus at a
    // call's end), and no whole number of messages.
    static constexpr std::size_t kPerRead = 97 * 1024;
    std::vector<std::int16_t> values[2] = {std::vector<std::int16_t>(2 * kPerRead),
                                           std::vector<std::int16_t>(2 * kPerRead)};
    std::uint64_t pairs = 0;
    std::uint64_t last = 0;
    std::vector<std::uint64_t> gaps; // samples lost at each jump
    // The last read ended at a gap the device has counted but this reader
    // has not stepped over yet.
    bool gapAhead = false;
    // Where set, the board runs no further ahead than the grant lets it.
    const test::ReceiveGrant* grant = nullptr;
    static constexpr std::uint64_t kGrantAhead = 2 * kPerRead;

    void read(BladeRfSdrDevice& device)
    {
        if (grant != nullptr) {
            grant->grant(pairs);
        }
        void* buffers[2] = {values[0].data(), values[1].data()};
        const std::uint64_t overruns = test::lossesOf(device).rxOverruns;
        const std::size_t got = device.readNativeChannelSamples(buffers, kPerRead);
        gapAhead = got < kPerRead && test::lossesOf(device).rxOverruns > overruns;
        // A timestamped read ends early only at a gap it reports, or (where
        // instrumentation slows the library's one event thread below the
        // rate of four channels) at a library read's time-out.
        if (got < kPerRead && !kReaderMayFallBehind) {
            ASSERT_TRUE(gapAhead) << "a short read (" << got << ") after " << pairs;
        }
        bool exchanged = true;
        for (std::size_t k = 0; k < got; ++k) {
            const std::int16_t* zero = &values[0][2 * k];
            const std::int16_t* one = &values[1][2 * k];
            exchanged = exchanged && zero[0] == one[1] && zero[1] == one[0];
            const std::uint64_t timestamp = timestampOf(zero);
            const std::uint64_t step = distance(last, timestamp);
            if (pairs > 0 && step != 1) {
                // Once libbladeRF dropped buffers for a reader that fell
                // behind, it may hand one out after a later one: a gap of
                // its own that loses nothing, as the device counts it.
                const bool back = step >= test::kPatternPeriod / 2;
                ASSERT_TRUE(!back || kReaderMayFallBehind) << "a step back after " << pairs;
                gaps.push_back(back ? 0 : step - 1);
            }
            last = timestamp;
            ++pairs;
        }
        ASSERT_TRUE(exchanged) << "channel 1 is not channel 0 with I and Q exchanged, before " << pairs;
    }
};

void configuringBoth(BladeRfSdrDevice& device, double rate = kRate)
{
    EXPECT_TRUE(device.setStreamChannels(kRx, {0, 1})) << device.lastError();
    EXPECT_TRUE(test::configureRx(device, {915e6, rate, 0.0, 20.0})) << device.lastError();
}

void receivingBoth(BladeRfSdrDevice& device)
{
    configuringBoth(device);
    EXPECT_TRUE(device.startRx()) << device.lastError();
}

// Every gap the reader met was counted once with the samples it lost (and
// one more where its last read ended at a gap). A reader
// that keeps up also finds every gap the board made among them (the others the
// library's own, its buffers full while the reader was away); one that falls
// behind leaves the board dropping after its last read, uncounted until a
// read that never comes.
void expectEveryGapCountedWithItsSize(const BladeRfSdrDevice& device, const PairFollower& follower,
                                      const std::vector<std::string>& journal, std::uint64_t droppedBefore)
{
    std::uint64_t lost = 0;
    for (const std::uint64_t gap : follower.gaps) {
        lost += gap;
    }
    std::size_t boardGaps = 0;
    for (const std::string& line : journal) {
        boardGaps += line.starts_with("overrun rx ") ? 1 : 0;
    }
    const StreamLosses losses = test::lossesOf(device);
    EXPECT_EQ(losses.rxOverruns, follower.gaps.size() + (follower.gapAhead ? 1 : 0));
    // The gap ahead's size may be counted only at the read that meets it.
    if (follower.gapAhead) {
        EXPECT_GE(losses.rxLostSamples, lost);
    } else {
        EXPECT_EQ(losses.rxLostSamples, lost);
    }
    if (!kReaderMayFallBehind) {
        EXPECT_GE(losses.rxOverruns, boardGaps);
        EXPECT_GE(lost, veltrano_usb_bladerf_rx_samples_dropped(nullptr) - droppedBefore);
    }
}

// Ten seconds of pairs at 10 MS/s (one under instrumentation), aligned and
// contiguous on both channels, with both receive channels and no transmit
// one enabled on the board. Message timestamps that advanced by sample words
// rather than pairs would be gaps to the library at every message. The board
// runs only so far ahead of the reader: a busy machine loses nothing.
TEST_F(RealLibBladeRf, bothReceiveChannelsCarryThePatternAlignedAndContiguous)
{
    const auto count = static_cast<std::uint64_t>((kReaderMayFallBehind ? 1 : 10) * kRate);
    BladeRfSdrDevice device(kSerial);
    const test::ReceiveGrant grant(PairFollower::kGrantAhead);
    receivingBoth(device);
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control(nullptr) >> 15 & 0xF, 0x5u); // RX0 and RX1
    PairFollower follower;
    follower.grant = &grant;
    follower.read(device);
    // Away for several times what the library buffers (40 ms), well within
    // its transfers' one-second time-out: nothing is lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (follower.pairs < count && !HasFailure()) {
        follower.read(device);
    }
    grant.release();
    device.stopRx();
    EXPECT_THAT(follower.gaps, ::testing::IsEmpty());
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
    EXPECT_EQ(test::lossesOf(device).rxLostSamples, 0u);
}

// The board's FIFO overflows, forced between reads: one period, part of a
// message, several messages. The reader meets each gap once, sized in
// samples per channel, the same on both channels, and reads on after it.
TEST_F(RealLibBladeRf, aForcedReceiveOverflowIsCountedOnceWithItsSizeOnBothChannels)
{
    const std::uint64_t droppedBefore = veltrano_usb_bladerf_rx_samples_dropped(nullptr);
    BladeRfSdrDevice device(kSerial);
    receivingBoth(device);
    PairFollower follower;
    follower.read(device);
    for (const std::uint64_t skipped : {std::uint64_t{1}, std::uint64_t{100}, std::uint64_t{3 * 254 + 7}}) {
        SCOPED_TRACE(skipped);
        const std::size_t gapsBefore = follower.gaps.size();
        veltrano_usb_bladerf_rx_skip(nullptr, skipped);
        for (int read = 0; read < 100 && follower.gaps.size() == gapsBefore && !HasFailure(); ++read) {
            follower.read(device);
        }
        ASSERT_GT(follower.gaps.size(), gapsBefore);
        const std::vector<std::uint64_t> met(follower.gaps.begin() + static_cast<std::ptrdiff_t>(gapsBefore),
                                             follower.gaps.end());
        EXPECT_TRUE(kReaderMayFallBehind || met == std::vector<std::uint64_t>{skipped})
            << ::testing::PrintToString(met);
        EXPECT_THAT(journal(), Contains(::testing::EndsWith(" lost " + std::to_string(skipped))));
        follower.read(device); // and on after it
    }
    device.stopRx();
    expectEveryGapCountedWithItsSize(device, follower, journal(), droppedBefore);
}

// Two transmit channels land bit-exact, each in its own capture and
// interleaved per pair in the capture of what arrived: alone, and in full
// duplex beside a two-channel receive stream that stays contiguous. At
// 5 MS/s: four channels move as many bytes as the one-channel full duplex
// test's two at 10 MS/s.
class RealLibMicroTwoChannelTransmit : public RealLibBladeRf, public ::testing::WithParamInterface<bool> {};

TEST_P(RealLibMicroTwoChannelTransmit, landsBitExactPerChannel)
{
    const bool duplex = GetParam();
    constexpr double kDuplexRate = 5e6;
    const auto count = static_cast<std::size_t>((kReaderMayFallBehind ? 0.2 : 2) * kDuplexRate) + 1'001;
    std::vector<std::int16_t> codes[2];
    std::vector<std::complex<float>> floats;
    test::codeRamp(count, codes[0], floats);
    // Channel 1: the ramp backwards, so no shift or swap of channels matches.
    codes[1].assign(codes[0].rbegin(), codes[0].rend());
    BladeRfSdrDevice device(kSerial);
    ASSERT_TRUE(device.setStreamChannels(kTx, {0, 1}));
    if (duplex) {
        ASSERT_TRUE(device.setFullDuplex(true));
        configuringBoth(device, kDuplexRate);
    }
    // Both configured before the board holds for the reader; transmit starts
    // after the first read (see the one-channel full duplex test).
    ASSERT_TRUE(device.configureTx({915e6, kDuplexRate, 0.0, 0.0})) << device.lastError();
    const test::ReceiveGrant grant(PairFollower::kGrantAhead);
    PairFollower follower;
    follower.grant = &grant;
    if (duplex) {
        ASSERT_TRUE(device.startRx()) << device.lastError();
        follower.read(device);
    }
    ASSERT_TRUE(device.startTx()) << device.lastError();
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control(nullptr) >> 15 & 0xF, duplex ? 0xFu : 0xAu);
    std::atomic<bool> sent{false};
    std::jthread writer([&] {
        for (std::size_t done = 0, taken = 1; done < count && taken > 0; done += taken) {
            const void* buffers[2] = {codes[0].data() + 2 * done, codes[1].data() + 2 * done};
            taken = device.writeNativeChannelSamples(buffers, std::min<std::size_t>(40'009, count - done));
        }
        EXPECT_TRUE(device.drainTx({})) << device.lastError();
        sent = true;
    });
    while (duplex && !sent && !HasFailure()) {
        follower.read(device);
    }
    writer.join();
    device.stopTx();
    if (duplex) {
        grant.release();
        device.stopRx();
        EXPECT_THAT(follower.gaps, ::testing::IsEmpty());
        EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
    }
    EXPECT_EQ(device.lastError(), "");
    const std::string arrived = test::readTextFile(capture());
    ASSERT_GE(arrived.size(), 8 * count);
    for (std::size_t k = 0; k < count; k += 997) {
        EXPECT_EQ(std::memcmp(arrived.data() + 8 * k, &codes[0][2 * k], 4), 0) << k;
        EXPECT_EQ(std::memcmp(arrived.data() + 8 * k + 4, &codes[1][2 * k], 4), 0) << k;
    }
    for (int channel = 0; channel < 2; ++channel) {
        SCOPED_TRACE(channel);
        const std::string bytes = test::readTextFile(capture().string() + ".channel" + std::to_string(channel));
        ASSERT_GE(bytes.size(), 4 * count);
        EXPECT_EQ(std::memcmp(bytes.data(), codes[channel].data(), 4 * count), 0);
        EXPECT_EQ(bytes.find_first_not_of('\0', 4 * count), std::string::npos); // the last buffer filled with silence
    }
}

INSTANTIATE_TEST_SUITE_P(AloneAndBesideReceive, RealLibMicroTwoChannelTransmit, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "fullDuplex" : "alone"; });

// What the board holds as a channel's gain: the AD9361's own registers when
// the library drives the chip, else the RFIC gain command it sent that channel.
std::int64_t boardGain(StreamDirection direction, unsigned channel)
{
    constexpr unsigned kRficGain = 7;
    return veltrano_usb_bladerf_rfic(nullptr, kRficGain, libraryChannel(direction, channel));
}

// Per direction: a gain change on a streaming channel reaches the board for
// that channel only, and one set while channel 1 is idle reaches it once
// its stream starts. The board's value for a gain is learned from channel 0,
// so the test holds whatever units the tuning mode gives.
TEST_F(RealLibBladeRf, aChannelsGainReachesTheBoardForThatChannelOnlyAndWhenItStarts)
{
    struct Case {
        StreamDirection direction;
        double low;
        double high;
    };
    for (const Case& tried : {Case{kRx, 20.0, 40.0}, Case{kTx, 20.0, 50.0}}) {
        SCOPED_TRACE(tried.direction == kRx ? "rx" : "tx");
        const auto configure = [&](BladeRfSdrDevice& device) {
            return tried.direction == kRx ? test::configureRx(device, {915e6, kRate, 0.0, tried.low})
                                          : device.configureTx({915e6, kRate, 0.0, tried.low});
        };
        const auto start = [&](BladeRfSdrDevice& device) {
            return tried.direction == kRx ? device.startRx() : device.startTx();
        };
        const auto stop = [&](BladeRfSdrDevice& device) { tried.direction == kRx ? device.stopRx() : device.stopTx(); };
        BladeRfSdrDevice device(kSerial);
        // Channel 1 idle: its gain is kept, and the board's channel 1 does not change.
        ASSERT_TRUE(configure(device) && start(device)) << device.lastError();
        const std::int64_t lowOnBoard = boardGain(tried.direction, 0);
        const std::int64_t idleOne = boardGain(tried.direction, 1);
        ASSERT_TRUE(device.setChannelGain(tried.direction, 1, tried.high));
        EXPECT_EQ(boardGain(tried.direction, 1), idleOne);
        stop(device);
        ASSERT_TRUE(device.setStreamChannels(tried.direction, {0, 1}));
        ASSERT_TRUE(start(device)) << device.lastError();
        const std::int64_t highOnBoard = boardGain(tried.direction, 1);
        EXPECT_NE(highOnBoard, lowOnBoard);
        EXPECT_EQ(boardGain(tried.direction, 0), lowOnBoard);
        // While both stream: channel 0 alone moves to the high gain, channel 1 alone back to the low one.
        ASSERT_TRUE(device.setChannelGain(tried.direction, 0, tried.high));
        EXPECT_EQ(boardGain(tried.direction, 0), highOnBoard);
        EXPECT_EQ(boardGain(tried.direction, 1), highOnBoard);
        ASSERT_TRUE(device.setChannelGain(tried.direction, 1, tried.low));
        EXPECT_EQ(boardGain(tried.direction, 1), lowOnBoard);
        EXPECT_EQ(boardGain(tried.direction, 0), highOnBoard);
        stop(device);
    }
}

} // namespace
} // namespace veltrano
