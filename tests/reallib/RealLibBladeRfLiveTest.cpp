// SPDX-License-Identifier: MIT
// Live control through Debian's real libbladeRF on the emulated boards: what
// the library sends for each change reaches the board's registers while the
// stream runs, and the samples' device timestamps show what each change did
// to the stream (nothing for gain and bandwidth; for a rate change, nothing
// from before the change and the new pace after it).
#include "tests/reallib/RealLibBladeRf.h"

#include <gmock/gmock.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace veltrano {
namespace {

using test::distance;
using test::kPatternPeriod;
using test::RealLibBladeRf;
using test::timestampOf;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

constexpr auto kRx = StreamDirection::rx;
constexpr auto kTx = StreamDirection::tx;
// Whole library reads of the device's receive path: nothing is left over between calls.
constexpr std::size_t kBlock = 65536;

// The device timestamps of one read of count samples.
std::vector<std::uint64_t> readTimestamps(ISdrDevice& device, std::size_t count = kBlock)
{
    std::vector<std::complex<float>> samples(count);
    samples.resize(device.readSamples(samples.data(), samples.size()));
    std::vector<std::uint64_t> timestamps;
    for (const auto& sample : samples) {
        timestamps.push_back(timestampOf(sample));
    }
    return timestamps;
}

// The device timestamps of the first and last sample of one native read (only
// those are decoded, so an instrumented build keeps up); nullopt for none.
std::optional<std::pair<std::uint64_t, std::uint64_t>> readEnds(ISdrDevice& device, std::size_t count = kBlock)
{
    static std::vector<std::int16_t> values;
    values.resize(2 * count);
    const std::size_t got = device.readNativeSamples(values.data(), count);
    if (got == 0) {
        return std::nullopt;
    }
    return std::pair{timestampOf(&values[0]), timestampOf(&values[2 * (got - 1)])};
}

// Journal lines of a stream stop or start: the FX3's RF enable request or the micro's RFIC enable.
const auto kStopOrStart = AnyOf(StartsWith("control in 4 "), StartsWith("rfic enable rx"));

// Gain and bandwidth changes reach the board with no stop, start or gap in the stream.
TEST_F(RealLibBladeRf, aLiveGainAndBandwidthChangeReachTheBoardWithNoGapAndNoRestart)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, 2e6, 0.0, 20.0}));
    ASSERT_TRUE(device.startRx());
    const auto before = readTimestamps(device);
    ASSERT_TRUE(test::contiguous(before));
    const std::size_t mark = journal().size();
#ifdef VELTRANO_EMULATED_MICRO
    // In the library's FPGA tuning mode the micro lists no stages; the overall
    // gain goes to the RFIC as the "full" stage less the band's -17 dB offset.
    EXPECT_TRUE(device.gainStages(kRx).empty());
    ASSERT_TRUE(device.setGain(kRx, 30.0));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(7, 0), 47);
    EXPECT_THAT(journal(), Contains("rfic gain rx0 47"));
    EXPECT_EQ(device.gainDb(kRx), 30.0);
#else
    ASSERT_EQ(device.gainStages(kRx).size(), 3u);
    ASSERT_TRUE(device.setGainStage(kRx, "rxvga2", 9.0));
    EXPECT_EQ(veltrano_usb_bladerf_lms_register(0x65) & 0x1f, 3); // 3 dB per code
    EXPECT_EQ(device.gainStageDb(kRx, "rxvga2"), 9.0);
    // The library would take a name it does not know and do nothing.
    EXPECT_FALSE(device.setGainStage(kRx, "RXVGA2", 30.0));
    EXPECT_EQ(device.gainStageDb(kRx, "rxvga2"), 9.0);
#endif
    ASSERT_TRUE(device.setBandwidth(kRx, 5e6));
    EXPECT_EQ(device.bandwidthHz(kRx), 5e6);
#ifdef VELTRANO_EMULATED_MICRO
    EXPECT_EQ(veltrano_usb_bladerf_rfic(5, 0), 5000000);
#else
    EXPECT_EQ((veltrano_usb_bladerf_lms_register(0x54) >> 2) & 0xf, 9); // the LMS6002D's 5 MHz filter
#endif
    const std::vector<std::string> lines = journal();
    const std::vector<std::string> since(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end());
    EXPECT_THAT(since, Not(Contains(kStopOrStart)));
    const auto after = readTimestamps(device);
    ASSERT_FALSE(after.empty()) << device.lastError();
    EXPECT_EQ(distance(before.back(), after.front()), 1u);
    EXPECT_TRUE(test::contiguous(after));
    device.stopRx();
}

// After a live rate change the first sample read was taken after the change
// (the library's buffers still held older ones), and the reads go on at the
// new pace, within a tenth (the board paces in wall-clock time; a second of
// samples leaves room for a loaded machine).
TEST_F(RealLibBladeRf, aLiveRateChangeDropsTheOldRatesSamplesAndPacesAtTheNewRate)
{
    for (const bool timestamped : {true, false}) {
        SCOPED_TRACE(timestamped ? "timestamped" : "plain");
        BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
        ASSERT_TRUE(test::configureRx(device, {915e6, 1e6, 0.0, 20.0}, timestamped));
        ASSERT_TRUE(device.startRx());
        ASSERT_TRUE(readEnds(device));
        const std::uint64_t counterBefore = veltrano_usb_bladerf_timestamp(0) % kPatternPeriod;
        ASSERT_TRUE(device.setSampleRate(kRx, 2e6));
        EXPECT_EQ(device.actualRxSampleRateHz(), 2e6);
        const auto first = readEnds(device);
        ASSERT_TRUE(first) << device.lastError();
        EXPECT_LT(distance(counterBefore, first->first), kPatternPeriod / 2)
            << "read " << first->first << ", the board's counter was at " << counterBefore << " before the change";

        const auto start = std::chrono::steady_clock::now();
        std::uint64_t last = first->second;
        std::uint64_t moved = 0;
        while (moved < 2'000'000) {
            const auto ends = readEnds(device, 4 * kBlock);
            ASSERT_TRUE(ends) << device.lastError();
            moved += distance(last, ends->second);
            last = ends->second;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_NEAR(static_cast<double>(moved) / seconds, 2e6, 2e5);
        device.stopRx();
    }
}

#ifdef VELTRANO_EMULATED_MICRO
// (The x40 has none: its library's refusal is pinned through the simulated library.)
TEST_F(RealLibBladeRf, theBiasTeeSwitchesOnTheMicro)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    for (const StreamDirection direction : {kRx, kTx}) {
        EXPECT_TRUE(device.supportsBiasTee(direction));
        EXPECT_FALSE(device.biasTee(direction));
    }
    ASSERT_TRUE(device.setBiasTee(kRx, true));
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control() & (1u << 5 | 1u << 10), 1u << 5);
    ASSERT_TRUE(device.setBiasTee(kTx, true));
    ASSERT_TRUE(device.setBiasTee(kRx, false));
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control() & (1u << 5 | 1u << 10), 1u << 10);
    EXPECT_FALSE(device.biasTee(kRx));
    EXPECT_TRUE(device.biasTee(kTx));
    EXPECT_THAT(journal(), Contains("bias-tee rx=1 tx=1"));
}
#endif

} // namespace
} // namespace veltrano
