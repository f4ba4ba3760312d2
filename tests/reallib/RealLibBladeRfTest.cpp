// SPDX-License-Identifier: MIT
// Debian's real libbladeRF driving the USB-level emulated bladeRF x40 (or,
// built with VELTRANO_EMULATED_MICRO, the bladeRF 2.0 micro in the library's
// FPGA tuning mode). The board's receive pattern names every sample's device
// timestamp, and its journal shows what the library asked of the FPGA, so a
// few long runs check the whole receive, retune and transmit paths. Live
// control: what the library sends for each change reaches the board's
// registers while the stream runs, and the samples' device timestamps show
// what each change did to the stream (nothing for gain and bandwidth; for a
// rate change, nothing from before the change and the new pace after it).
#include "device/bladerf/BladeRfApi.h"
#include "tests/reallib/CallTiming.h"
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/Watchdog.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
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

const std::filesystem::path kRealLibHackRf = "/usr/lib/x86_64-linux-gnu/libhackrf.so.0";
constexpr const char* kSerial = test::kEmulatedBladeRfSerial;
constexpr double kRate = 10e6;

// What the library reports of each board, and journal lines (patterns) its
// initialisation leaves: the version read, then the board's own set-up.
#ifdef VELTRANO_EMULATED_MICRO
constexpr const char* kProbeRecordTail = "\tbladeRF 2.0\t6.144e+07\t7e+07\t6e+09\n";
const std::vector<std::string> kInitialisation = {
    "nios N device=0 read address=13 value=0xe",
    "nios E target=1 write address=0xf01 value=0x1", // RFIC initialisation
};
#else
constexpr const char* kProbeRecordTail = "\tbladeRF\t4e+07\t2.375e+08\t3.8e+09\n";
const std::vector<std::string> kInitialisation = {
    "nios N device=0 read address=13 value=0xe",
    "nios C target=1 write address=0x0 value=0x57", // CONTROL read as 0: a fresh board
    // RX tuned through the FPGA to 2484 MHz at once
    "retune rx [0-9]+ requested=0 nint=129 nfrac=3145728 freqsel=0x2c vcocap=35 quick=0",
};
#endif

TEST_F(RealLibBladeRf, theProbeReportsWhatTheLibraryKnowsOfTheBoardAndBothFamiliesTogetherAndBoardsThatVanish)
{
    const std::string record = std::string("BLADERF\t") + kSerial + kProbeRecordTail;
    const test::ProcessResult probed = test::runProbe({"bladerf"});
    EXPECT_EQ(probed.exitStatus, 0) << probed.standardError;
    EXPECT_EQ(probed.standardOutput, record);
    for (const std::string& line : kInitialisation) {
        EXPECT_THAT(journal(), testing::Contains(testing::MatchesRegex(line)));
    }

#ifndef VELTRANO_EMULATED_MICRO
    if (std::filesystem::exists(kRealLibHackRf)) {
        // One bus with both boards, under both real libraries.
        const test::ScopedEnvironment hackRf("BROMELT_HACKRF_LIBRARY", kRealLibHackRf.string());
        const test::ScopedEnvironment path("LD_LIBRARY_PATH", VELTRANO_USB_BOTH_DIRECTORY);
        const test::ProcessResult both = test::runProbe({"both"});
        EXPECT_EQ(both.exitStatus, 0) << both.standardError;
        EXPECT_EQ(both.standardOutput, "HACKRF\t0000000000000000457863c82b6e2e5f\t0000000000000000457863c82b6e2e5f"
                                       "\t2e+07\t1e+06\t6e+09\n" +
                                           record);
        // Each board leaves between its listing and its open (the HackRF's
        // listing and open are the bus's first two): each family's line, and 2.
        const test::ScopedEnvironment hackRfLeaves("VELTRANO_USB_HACKRF_UNPLUG_AFTER_LISTINGS", "1");
        const test::ScopedEnvironment bladeRfLeaves("VELTRANO_USB_BLADERF_UNPLUG_AFTER_LISTINGS", "3");
        EXPECT_EQ(test::runProbe({"both"}),
                  (test::ProcessResult{2, "",
                                       "HackRF 0000000000000000457863c82b6e2e5f: HackRF open failed: HackRF not found\n"
                                       "bladeRF " +
                                           std::string(kSerial) + ": bladeRF open failed: No devices available\n"}));
    }
#endif
}

// Reads count samples in calls of an odd size, each call's samples contiguous
// in device time. A read comes back short only at a reported overrun; where
// gaps are allowed (a plain reader that cannot keep up) they lead forward.
void readContiguous(BladeRfSdrDevice& device, std::size_t count, bool gapsAllowed)
{
    std::vector<std::complex<float>> samples(100'003);
    for (std::size_t done = 0; done < count;) {
        const std::uint64_t overruns = device.rxOverrunCount();
        const std::size_t got = device.readSamples(samples.data(), samples.size());
        if (got < samples.size() && device.rxOverrunCount() == overruns) {
            ADD_FAILURE() << "a short read (" << got << ") without an overrun, " << done << " samples in";
            return;
        }
        for (std::size_t k = 1; k < got; ++k) {
            const std::uint64_t step = distance(timestampOf(samples[k - 1]), timestampOf(samples[k]));
            if (step != 1 && !(gapsAllowed && step < kPatternPeriod / 2)) {
                ADD_FAILURE() << "a step of " << step << " after sample " << k - 1 << " of a read, " << done
                              << " samples in";
                return;
            }
        }
        done += got;
    }
}

#ifdef VELTRANO_SANITIZED
constexpr bool kReaderMayFallBehind = true;
#else
constexpr bool kReaderMayFallBehind = false;
#endif

TEST_F(RealLibBladeRf, tenMillionSamplesArriveContiguousInDeviceTimeInThePlainAndTheTimestampedFormat)
{
    for (const bool timestamped : {false, true}) {
        SCOPED_TRACE(timestamped ? "timestamped" : "plain");
        BladeRfSdrDevice device(kSerial);
        ASSERT_TRUE(test::configureRx(device, {915e6, kRate, 0.0, 20.0}, timestamped));
        ASSERT_TRUE(device.startRx());
        readContiguous(device, 10'000'000, !timestamped && kReaderMayFallBehind);
        device.stopRx();
        // A reader that keeps up is counted no gap either.
        EXPECT_TRUE(kReaderMayFallBehind || (device.rxOverrunCount() == 0 && device.rxLostSamples() == 0));
        EXPECT_EQ(veltrano_usb_bladerf_transfers_in_flight(), 0);
    }
}

TEST_F(RealLibBladeRf, aQuickRetuneTakesEffectOnTheBoardAndTheReadResumesAfterTheSettlingCount)
{
    const double hops[2] = {868.3e6, 433.92e6};
    BladeRfSdrDevice device(kSerial);
    ASSERT_TRUE(device.configureRx({915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.prepareRxFrequencies({hops[0], hops[1]}));
    ASSERT_TRUE(device.startRx());
    readContiguous(device, 1'000'000, false);

    // Half a millisecond of samples at 10 MS/s settle first: the read after
    // the retune starts at the settled timestamp, or later when a starved
    // reader comes too late for it (the library reports that time as past:
    // counted as an overrun, and the read goes on with what comes next).
    const std::uint64_t settle = 5000;
    const std::uint64_t retunes = veltrano_usb_bladerf_retunes_applied();
    ASSERT_TRUE(device.setRxFrequency(hops[0]));
    EXPECT_EQ(device.fastRxRetuneCount(), 1u);
    ASSERT_EQ(veltrano_usb_bladerf_retunes_applied(), retunes + 1);
    int direction = -1;
    std::uint64_t appliedAt = 0, requestedAt = 1;
    ASSERT_EQ(veltrano_usb_bladerf_retune(retunes, &direction, &appliedAt, &requestedAt), 1);
    EXPECT_EQ(direction, 0);
    EXPECT_EQ(requestedAt, 0u); // at once
    EXPECT_THAT(journal(), testing::Contains(testing::AllOf(
                               testing::StartsWith("retune rx " + std::to_string(appliedAt) + " requested=0 "),
                               testing::EndsWith(" quick=1"))));
    std::vector<std::complex<float>> resumed(4096);
    ASSERT_EQ(device.readSamples(resumed.data(), resumed.size()), resumed.size()) << device.lastError();
    const std::uint64_t resumedAt = timestampOf(resumed[0]);
    EXPECT_LT(distance((appliedAt + settle) % kPatternPeriod, resumedAt), static_cast<std::uint64_t>(kRate))
        << "applied at " << appliedAt << ", resumed at " << resumedAt << " (mod 2^24)";
    EXPECT_EQ(device.failedFastRxRetuneCount(), 0u);
    EXPECT_EQ(device.regularRxRetuneCount(), 0u);

    // A reader that sleeps past the library's buffers meets a gap the library
    // reports in the timestamps: a read ends there, none is empty, and the
    // stream is not reported stopped.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::complex<float>> samples(1 << 20);
    for (int read = 0; read < 8 && device.rxOverrunCount() == 0; ++read) {
        EXPECT_GT(device.readSamples(samples.data(), samples.size()), 0u) << device.lastError();
    }
    EXPECT_GT(device.readSamples(samples.data(), samples.size()), 0u) << device.lastError();
    EXPECT_GT(device.rxOverrunCount(), 0u);
    EXPECT_EQ(device.lastError(), "");
    device.stopRx();
    EXPECT_EQ(veltrano_usb_bladerf_transfers_in_flight(), 0);
}

// Follows the board's pattern across whole native reads of several stream
// buffers (cheap enough to keep up) and notes where it jumps.
struct PatternFollower {
    std::vector<std::int16_t> values = std::vector<std::int16_t>(2 * 8 * 16384);
    std::uint64_t samples = 0;
    std::uint64_t last = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> jumps; // sample index, step
    bool shortReadsAllowed = false;                             // a timestamped read ends early at a gap

    void read(BladeRfSdrDevice& device)
    {
        std::size_t count = values.size() / 2;
        const std::size_t got = device.readNativeSamples(values.data(), count);
        if (!shortReadsAllowed) {
            ASSERT_EQ(got, count) << "after " << samples;
        }
        count = got;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t timestamp = timestampOf(&values[2 * k]);
            const std::uint64_t step = distance(last, timestamp);
            if (samples > 0 && step != 1) {
                jumps.emplace_back(samples, step);
            }
            last = timestamp;
            ++samples;
        }
    }
};

// libbladeRF's buffers (64 x 16384 samples) last 0.1 s at 10 MS/s; a plain
// reader away for half a second meets the gap the library leaves (the board
// itself buffers a second). Every gap is counted with the samples it lost,
// exactly as the board's pattern jumps, and the pattern resumes where the
// board had got to after the reader came back.
TEST_F(RealLibBladeRf, aPlainReaderThatSleepsPastTheLibrarysBuffersCountsTheGapAndItsSize)
{
    BladeRfSdrDevice device(kSerial);
    ASSERT_TRUE(test::configureRx(device, {915e6, kRate, 0.0, 20.0}, false));
    ASSERT_TRUE(device.startRx());
    PatternFollower follower;
    follower.read(device);
    const std::uint64_t asleepAfter = follower.samples;
    const auto sleep = std::chrono::milliseconds(500);
    std::this_thread::sleep_for(sleep);
    while (device.rxOverrunCount() == 0 && follower.samples < 40'000'000 && !HasFailure()) {
        follower.read(device);
    }
    follower.read(device); // and samples again after it
    ASSERT_GE(device.rxOverrunCount(), 1u);
    EXPECT_EQ(follower.jumps.size(), device.rxOverrunCount());
    std::uint64_t lost = 0; // forward; a step back lost nothing
    for (const auto& [at, step] : follower.jumps) {
        lost += step < kPatternPeriod / 2 ? step - 1 : 0;
    }
    EXPECT_EQ(lost, device.rxLostSamples());
    ASSERT_FALSE(follower.jumps.empty());
    if (!kReaderMayFallBehind) {
        // The sample after the first gap was made after the reader woke (less
        // the transfers then in flight, well under half the sleep).
        const std::uint64_t boardMoved = follower.jumps[0].first - asleepAfter + follower.jumps[0].second;
        EXPECT_GE(boardMoved, static_cast<std::uint64_t>(kRate * 0.25));
    }
    EXPECT_EQ(device.lastError(), "");
}

// Full duplex at 10 MS/s: the timestamped receive stream stays contiguous for
// ten seconds while a ramp goes out and lands bit-exact in the board's
// capture; then each direction goes on alone once the other stops. The
// library sends only whole buffers of 65,536 samples and cancels the ones in
// flight at a stop: each drain must get a partial last buffer, written in
// pieces that straddle the buffers, out in full. The ramp takes every 12-bit
// code in turn (the encoding's limits are pinned by the conversion kernels'
// tests).
TEST_F(RealLibBladeRf, fullDuplexReceivesContiguouslyWhileTheRampLandsBitExactAndEachDirectionGoesOnAlone)
{
    // An instrumented or emulated reader may fall behind: a shorter run.
    const auto rampCount = static_cast<std::size_t>((kReaderMayFallBehind ? 1 : 10) * kRate) + 1'001;
    constexpr std::size_t kAloneCount = 3 * 65'536 + 1'001;
    std::vector<std::complex<float>> ramp;
    std::vector<std::int16_t> codes;
    test::codeRamp(rampCount, codes, ramp);
    BladeRfSdrDevice device(kSerial);
    const auto send = [&](std::size_t count) {
        for (std::size_t sent = 0, taken = 1; sent < count && taken > 0; sent += taken) {
            taken = device.writeSamples(ramp.data() + sent, std::min<std::size_t>(40'009, count - sent));
        }
        EXPECT_TRUE(device.drainTx({})) << device.lastError();
    };
    ASSERT_TRUE(device.setFullDuplex(true));
    ASSERT_TRUE(test::configureRx(device, {915e6, kRate, 0.0, 20.0}) && device.startRx());
    ASSERT_TRUE(device.configureTx({915e6, kRate, 0.0, 0.0}) && device.startTx());
    PatternFollower follower;
    follower.shortReadsAllowed = kReaderMayFallBehind;
    std::atomic<bool> sent{false};
    std::jthread writer([&] {
        send(rampCount);
        sent = true;
    });
    while ((!sent || follower.samples < rampCount) && !HasFailure()) {
        follower.read(device);
    }
    device.stopTx();
    for (const std::uint64_t alone = follower.samples + 5'000'000; follower.samples < alone && !HasFailure();) {
        follower.read(device);
    }
    EXPECT_TRUE(kReaderMayFallBehind || (follower.jumps.empty() && device.rxOverrunCount() == 0));
    ASSERT_TRUE(device.startTx());
    device.stopRx();
    send(kAloneCount);
    device.stopTx();
    EXPECT_EQ(device.lastError(), "");
    // The ramp, silence, then the ramp's start again, its last buffer completed
    // with silence. Little-endian, as is the machine.
    const std::string bytes = test::readTextFile(capture());
    ASSERT_GE(bytes.size(), 4 * rampCount);
    EXPECT_EQ(std::memcmp(bytes.data(), codes.data(), 4 * rampCount), 0);
    std::size_t again = bytes.find_first_not_of('\0', 4 * rampCount);
    ASSERT_NE(again, std::string::npos);
    again -= again % 4;
    ASSERT_GE(bytes.size(), again + 4 * 4 * 65'536);
    EXPECT_EQ(std::memcmp(bytes.data() + again, codes.data(), 4 * kAloneCount), 0);
    EXPECT_EQ(bytes.find_first_not_of('\0', again + 4 * kAloneCount), std::string::npos);
}

constexpr auto kRx = StreamDirection::rx;
constexpr auto kTx = StreamDirection::tx;
// Whole library reads of the device's receive path: nothing is left over between calls.
constexpr std::size_t kBlock = 65536;

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
    PatternFollower follower;
    follower.read(device);
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
    follower.read(device);
    EXPECT_TRUE(follower.jumps.empty()) << device.lastError();
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
#else
// The x40 alone (timed retune, hardware time, faults). A quick retune
// scheduled through the library ahead of the x40's clock takes effect at its
// timestamp: samples before it have the old tuning, from it on the new one.
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

    // A request that reaches the board late is applied at once (later than
    // asked), and asked again further ahead. Earlier than asked is the fault.
    std::uint64_t at = 0;
    for (const std::uint64_t ahead : {4'000, 40'000, 400'000}) {
        const std::uint64_t applied = veltrano_usb_bladerf_retunes_applied();
        bladerf_timestamp now = 0;
        ASSERT_EQ(api.getTimestamp(board, BLADERF_RX, &now), 0);
        ASSERT_EQ(api.scheduleRetune(board, rx, now + ahead, 0, &hop), 0);
        // Read past the timestamp: the board's counter gets there meanwhile.
        std::vector<std::int16_t> values(2 * 4096);
        bladerf_metadata metadata{};
        metadata.timestamp = now + ahead - 2048;
        ASSERT_EQ(api.syncRx(board, values.data(), 4096, &metadata, 5000), 0);
        ASSERT_EQ(veltrano_usb_bladerf_retunes_applied(), applied + 1);
        std::uint64_t appliedAt = 0, requestedAt = 0;
        ASSERT_EQ(veltrano_usb_bladerf_retune(applied, nullptr, &appliedAt, &requestedAt), 1);
        EXPECT_EQ(requestedAt, now + ahead);
        ASSERT_GE(appliedAt, now + ahead) << "applied before its timestamp";
        if (appliedAt == now + ahead) {
            at = appliedAt;
            // The samples read around it, by the timestamps their pattern names.
            for (std::size_t k = 0; k < 4096; ++k) {
                ASSERT_EQ(timestampOf(&values[2 * k]), (at - 2048 + k) % kPatternPeriod);
                std::uint32_t nint = 0, nfrac = 0;
                ASSERT_EQ(veltrano_usb_bladerf_rx_tuning_at(at - 2048 + k, &nint, &nfrac), 1);
                const bladerf_quick_tune& expected = k < 2048 ? before : hop;
                ASSERT_EQ(nint, expected.nint) << "sample " << k;
                ASSERT_EQ(nfrac, expected.nfrac) << "sample " << k;
            }
            break;
        }
    }
    EXPECT_NE(at, 0u) << "never scheduled in time";
    EXPECT_EQ(api.enableModule(board, rx, false), 0);
}

// Hardware time: the receive pattern names each sample's tick and the board
// journals every burst where it starts, so stamps, timed starts and timed
// bursts are checked against the x40's own counter.
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
    ASSERT_TRUE(device.configureRx({915e6, kTimeRate, 0.0, 20.0}));
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

// Faults: a bladeRF that vanishes or falls silent, at each moment a client
// can meet it: every call returns within the bound, says why, keeps what the
// board delivered before the loss (the receive pattern names each sample's
// device timestamp; the transmit capture holds what the board took), and a
// new device object streams again once the board is back. No transfer,
// handle or library thread outlives a scenario.
using std::chrono::milliseconds;
using test::Clock;

constexpr const char* kGone = "No devices available"; // libbladeRF's text for BLADERF_ERR_NODEV
const std::string kRxGone = std::string("RX stream stopped: ") + kGone;
constexpr std::size_t kRead = 16384;  // one receive stream buffer, 64 KiB
constexpr std::size_t kWrite = 65536; // one transmit stream buffer, 256 KiB
const StreamConfig kRxConfig{915e6, 2e6, 0.0, 20.0};
const StreamConfig kTxConfig{915e6, 2e6, 0.0, 0.0};
// After an unplug every call returns at once. A silent board makes libbladeRF
// wait out its own time-outs: 250 ms per NIOS packet, 1 s per control request
// and per sample transfer; a stop meets all three.
constexpr milliseconds kUnpluggedBound(1000);
constexpr milliseconds kSilentBound(3000);

// The client of one scenario: its device, every sample it read, and the longest call.
struct Client : test::CallTimes {
    std::unique_ptr<BladeRfSdrDevice> device = std::make_unique<BladeRfSdrDevice>(kSerial);
    std::vector<std::uint64_t> received;

    std::size_t read()
    {
        std::vector<std::complex<float>> samples(kRead);
        const std::size_t count = timed([&] { return device->readSamples(samples.data(), samples.size()); });
        for (std::size_t k = 0; k < count; ++k) {
            received.push_back(test::timestampOf(samples[k]));
        }
        return count;
    }
    // Reads back to back, as a real-time client does, until `count` samples
    // arrived in all or the stream reports its end.
    void receive(std::size_t count)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
        while (received.size() < count && device->lastError().empty() && Clock::now() < deadline) {
            read();
        }
    }
    // Streams a while, then reads on while the board leaves mid-read.
    void receiveUntilUnpluggedMidRead()
    {
        receive(100'000);
        std::thread unplug([] {
            std::this_thread::sleep_for(milliseconds(20));
            veltrano_usb_bladerf_unplug();
        });
        receive(1'000'000'000);
        unplug.join();
    }
    void startRx(bool timestamped)
    {
        ASSERT_TRUE(timed([&] { return test::configureRx(*device, kRxConfig, timestamped); }));
        ASSERT_TRUE(timed([&] { return device->startRx(); }));
    }
    void destroy()
    {
        timed([&] { device.reset(); });
    }
};

struct FaultScenario {
    const char* name;
    std::optional<std::string> unplugAfterBytes; // VELTRANO_USB_BLADERF_UNPLUG_AFTER_BYTES, if any
    milliseconds bound;
    std::function<void(Client&, const std::filesystem::path& capture)> run;
};

// Unplugged while the reader waits in the library: the library reports the
// end to that read. Once it said the board is gone, a read does not let it
// restart its stream on the board that left (its worker would wait for ever
// for transfers it cannot submit): nothing is submitted to the board again,
// over several reads (one let in would, after a time-out or two, restart the
// stream) nor at the close.
FaultScenario unpluggedMidRead(const char* name, bool timestamped)
{
    return {name, std::nullopt, kUnpluggedBound, [timestamped](Client& client, const std::filesystem::path&) {
                client.startRx(timestamped);
                client.receiveUntilUnpluggedMidRead();
                EXPECT_LE(client.received.size(), veltrano_usb_bladerf_rx_samples_delivered());
                // A plain reader may fall behind in an instrumented build; the stamped one cannot.
                EXPECT_TRUE(!timestamped || test::contiguous(client.received));
                ASSERT_EQ(client.device->lastError(), kRxGone);
                const std::size_t linesBefore = test::journalSince(0).size();
                for (int read = 0; read < 4; ++read) {
                    EXPECT_EQ(client.read(), 0u);
                    EXPECT_EQ(client.device->lastError(), kRxGone);
                }
                client.destroy();
                const std::vector<std::string> lines = test::journalSince(linesBefore);
                EXPECT_EQ(std::count(lines.begin(), lines.end(), "libusb_submit_transfer -> no device"), 0);
            }};
}

const FaultScenario kScenarios[] = {
    // The board leaves after exactly sixteen transfers (of 32 messages of 508
    // samples) while the reader is away: every sample arrives, once and in
    // order, then the end is reported.
    {"receive", "1048576", kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         constexpr std::size_t kDelivered = 16 * 32 * 508;
         client.startRx(false);
         client.receive(1); // the library starts its stream at the first read
         ASSERT_TRUE(test::eventually([] {
             return veltrano_usb_bladerf_rx_samples_delivered() == kDelivered &&
                    veltrano_usb_bladerf_transfers_in_flight() == 0;
         }));
         client.receive(2 * kDelivered);
         EXPECT_EQ(client.received.size(), kDelivered);
         EXPECT_EQ(veltrano_usb_bladerf_rx_samples_delivered(), kDelivered);
         EXPECT_TRUE(test::contiguous(client.received));
         EXPECT_EQ(client.device->lastError(), kRxGone);
         EXPECT_EQ(client.read(), 0u);
         client.timed([&] { client.device->stopRx(); });
         // Back again: a new device object opened by serial streams again.
         veltrano_usb_bladerf_replug();
         client.destroy();
         client.device = client.timed([] { return std::make_unique<BladeRfSdrDevice>(kSerial); });
         client.received.clear();
         client.startRx(false);
         client.receive(100'000);
         EXPECT_TRUE(test::contiguous(client.received));
     }},
    // Four whole buffers reach the board, then it leaves while the writer is
    // away; what the library still held is lost with it.
    {"transmit", "1048576", kUnpluggedBound,
     [](Client& client, const std::filesystem::path& capture) {
         BladeRfSdrDevice& device = *client.device;
         ASSERT_TRUE(device.configureTx(kTxConfig) && device.startTx());
         std::vector<std::int16_t> codes;
         std::vector<std::complex<float>> samples;
         test::codeRamp(8 * kWrite, codes, samples);
         for (std::size_t sent = 0, taken = 1; sent < samples.size() && taken > 0; sent += taken) {
             taken = client.timed([&] { return device.writeSamples(samples.data() + sent, samples.size() - sent); });
         }
         ASSERT_TRUE(test::eventually([] {
             return veltrano_usb_bladerf_tx_samples() == 4 * kWrite && veltrano_usb_bladerf_transfers_in_flight() == 0;
         }));
         ASSERT_TRUE(test::eventually([&] {
             return client.timed([&] { return device.writeSamples(samples.data(), kWrite); }) == 0 &&
                    !device.lastError().empty();
         }));
         EXPECT_EQ(device.lastError(), std::string("TX stream stopped: ") + kGone);
         client.timed([&] { device.stopTx(); });
         const std::string taken = test::readTextFile(capture);
         ASSERT_EQ(taken.size(), 4 * kWrite * 4);
         EXPECT_EQ(std::memcmp(taken.data(), codes.data(), taken.size()), 0);
     }},
    // The board leaves with the last buffer not yet full: the drain says so
    // rather than wait for a buffer that can never leave.
    {"drain", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         BladeRfSdrDevice& device = *client.device;
         ASSERT_TRUE(device.configureTx(kTxConfig) && device.startTx());
         const std::vector<std::complex<float>> samples(1000, {0.5f, -0.5f});
         ASSERT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
         veltrano_usb_bladerf_unplug();
         EXPECT_FALSE(client.timed([&] { return device.drainTx({}); }));
         EXPECT_EQ(device.lastError(), std::string("TX stream stopped: ") + kGone);
         client.timed([&] { device.stopTx(); });
     }},
    // Unplugged under both directions at once: the reader and the writer
    // each end, and find their own words in the one reason.
    {"fullDuplex", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         BladeRfSdrDevice& device = *client.device;
         ASSERT_TRUE(device.setFullDuplex(true));
         client.startRx(true);
         ASSERT_TRUE(device.configureTx(kTxConfig) && device.startTx());
         test::CallTimes writes;
         const std::vector<std::complex<float>> samples(kWrite, {0.25f, -0.25f});
         std::thread writer([&] {
             while (writes.timed([&] { return device.writeSamples(samples.data(), kWrite); }) > 0) {
             }
         });
         client.receiveUntilUnpluggedMidRead();
         writer.join();
         client.longest = std::max(client.longest, writes.longest);
         EXPECT_TRUE(test::contiguous(client.received));
         EXPECT_EQ(device.lastError(), kRxGone + "; TX stream stopped: " + kGone);
         EXPECT_EQ(client.read() + client.timed([&] { return device.writeSamples(samples.data(), 1); }), 0u);
     }},
    {"configureRx", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         veltrano_usb_bladerf_unplug();
         EXPECT_FALSE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
         EXPECT_FALSE(client.timed([&] { return client.device->startRx(); }));
     }},
    {"destruction", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(true);
         client.receive(100'000);
         veltrano_usb_bladerf_unplug();
         client.destroy();
     }},
    // Configuration fails at the first NIOS time-out and works once the board answers.
    {"silentDuringConfiguration", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         veltrano_usb_bladerf_stall(1);
         EXPECT_FALSE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
         veltrano_usb_bladerf_stall(0);
         EXPECT_TRUE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
     }},
    // Reads come back empty (a time-out is no error); a stop waits out the
    // library's time-outs; the board streams again once it answers.
    {"silentDuringStreaming", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(false);
         client.receive(100'000);
         veltrano_usb_bladerf_stall(1);
         EXPECT_TRUE(test::eventually([&] { return client.read() == 0; }));
         EXPECT_EQ(client.device->lastError(), "");
         client.timed([&] { client.device->stopRx(); });
         veltrano_usb_bladerf_stall(0);
         client.received.clear();
         ASSERT_TRUE(client.timed([&] { return client.device->startRx(); }));
         client.receive(100'000);
#ifdef VELTRANO_SANITIZED
         // An instrumented or emulated reader may fall behind: only a gap it counted is allowed.
         EXPECT_TRUE(test::contiguous(client.received) || client.device->rxOverrunCount() > 0);
#else
         EXPECT_TRUE(test::contiguous(client.received));
#endif
     }},
    // Silent past the library's transfer time-out (1 s), so its stream ends,
    // then gone: the next read is not let restart the stream on a board that
    // left (its stop would wait 3 s, then cancel the library's thread).
    {"silentThenUnplugged", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(false);
         client.receive(100'000);
         veltrano_usb_bladerf_stall(1);
         for (const Clock::time_point until = Clock::now() + milliseconds(1500); Clock::now() < until;) {
             client.read();
         }
         veltrano_usb_bladerf_unplug();
         client.receive(1'000'000'000);
         EXPECT_EQ(client.device->lastError(), kRxGone);
     }},
    unpluggedMidRead("receiveTimestamped", true),
    unpluggedMidRead("readsAfterGone", false),
};

class RealLibBladeRfFault : public test::RealLibBladeRf, public ::testing::WithParamInterface<FaultScenario> {};

TEST_P(RealLibBladeRfFault, everyCallReturnsSaysWhyAndKeepsWhatCameBefore)
{
    const FaultScenario& scenario = GetParam();
#ifdef VELTRANO_WIDENS_LIBBLADERF_SUBMIT_RACE
    // libbladeRF 2022.11 submits outside its stream lock; an unplug's cancel in
    // that window trips the library's own assert. ThreadSanitizer and qemu
    // widen the window from microseconds to about half the runs.
    if (std::string_view(scenario.name) == "transmit") {
        GTEST_SKIP() << "libbladeRF's own submit race aborts a slowed-down process too often";
    }
#endif
    // Read once, when the process first reaches the board: each test runs in a process of its own.
    const test::ScopedEnvironment unplugAfter("VELTRANO_USB_BLADERF_UNPLUG_AFTER_BYTES", scenario.unplugAfterBytes);
    const std::size_t threadsBefore = test::threadCount();
    {
        const test::Watchdog watchdog(scenario.name, std::chrono::seconds(60));
        Client client;
        scenario.run(client, capture());
        client.destroy();
        EXPECT_LE(client.longest, scenario.bound);
    }
    EXPECT_EQ(test::threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Moments, RealLibBladeRfFault, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

#endif

} // namespace
} // namespace veltrano
