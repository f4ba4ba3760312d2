// SPDX-License-Identifier: MIT
// Debian's real libbladeRF driving the USB-level emulated bladeRF x40 (or,
// built with VELTRANO_EMULATED_MICRO, the bladeRF 2.0 micro in the library's
// default host tuning mode, or with VELTRANO_MICRO_FPGA_TUNING in its FPGA
// one). The board's receive pattern names every sample's device timestamp,
// and its journal shows what the library asked of the FPGA, so a few long runs check the whole receive, retune and
// transmit paths. Live control: what the library sends for each change reaches the board's registers while the stream
// runs, and the samples' device timestamps show what each change did to the stream (nothing for gain and bandwidth; for
// a rate change, nothing from before the change and the new pace after it).
#include "device/bladerf/BladeRfApi.h"
#include "tests/support/ThroughInterface.h"
#include "tests/reallib/RealLibBladeRf.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
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
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::filesystem::path kRealLibHackRf = "/usr/lib/x86_64-linux-gnu/libhackrf.so.0";
constexpr const char* kSerial = test::kEmulatedBladeRfSerial;
constexpr double kRate = 10e6;

// What the library reports of each board, and journal lines (patterns) its
// initialisation leaves: the version read, then the board's own set-up.
#if defined(VELTRANO_MICRO_FPGA_TUNING)
constexpr const char* kProbeRecordTail = "\tbladeRF 2.0\t6.144e+07\t7e+07\t6e+09\n";
const std::vector<std::string> kInitialisation = {
    "nios N device=0 read address=13 value=0xe",
    "nios E target=1 write address=0xf01 value=0x1", // the FPGA initialises the RFIC
};
#elif defined(VELTRANO_EMULATED_MICRO)
constexpr const char* kProbeRecordTail = "\tbladeRF 2.0\t6.144e+07\t7e+07\t6e+09\n";
const std::vector<std::string> kInitialisation = {
    "nios N device=0 read address=13 value=0xe",
    // The library's own AD9361 set-up: 30.72 MS/s through an 18 MHz filter,
    // the gain left to the chip's slow attack AGC.
    "ad9361 rx frequency=[0-9]+ samplerate=30720000 bandwidth=18000000 gain=[0-9]+ agc=slow",
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
// With a grant the board runs only so far ahead of the reader.
void readContiguous(BladeRfSdrDevice& device, std::size_t count, bool gapsAllowed,
                    const test::ReceiveGrant* grant = nullptr)
{
    std::vector<std::complex<float>> samples(100'003);
    for (std::size_t done = 0; done < count;) {
        if (grant != nullptr) {
            grant->grant(done);
        }
        const std::uint64_t overruns = test::lossesOf(device).rxOverruns;
        const std::size_t got = device.readSamples(samples.data(), samples.size());
        if (got < samples.size() && test::lossesOf(device).rxOverruns == overruns) {
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

// How far a grant lets the board run ahead: two of the largest reads here.
constexpr std::uint64_t kGrantAhead = 2 * 8 * 16384;

// The board runs only so far ahead of the reader: a busy machine loses nothing.
TEST_F(RealLibBladeRf, tenMillionSamplesArriveContiguousInDeviceTimeInThePlainAndTheTimestampedFormat)
{
    for (const bool timestamped : {false, true}) {
        SCOPED_TRACE(timestamped ? "timestamped" : "plain");
        BladeRfSdrDevice device(kSerial);
        ASSERT_TRUE(test::configureRx(device, {915e6, kRate, 0.0, 20.0}, timestamped));
        const test::ReceiveGrant grant(kGrantAhead);
        ASSERT_TRUE(device.startRx());
        readContiguous(device, 10'000'000, false, &grant);
        grant.release();
        device.stopRx();
        EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
        EXPECT_EQ(test::lossesOf(device).rxLostSamples, 0u);
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
    const std::uint64_t retunes = veltrano_usb_bladerf_retunes_applied(nullptr);
    ASSERT_TRUE(device.setRxFrequency(hops[0]));
    EXPECT_EQ(device.fastRxRetuneCount(), 1u);
    ASSERT_EQ(veltrano_usb_bladerf_retunes_applied(nullptr), retunes + 1);
    int direction = -1;
    std::uint64_t appliedAt = 0, requestedAt = 1;
    ASSERT_EQ(veltrano_usb_bladerf_retune(nullptr, retunes, &direction, &appliedAt, &requestedAt), 1);
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
    for (int read = 0; read < 8 && test::lossesOf(device).rxOverruns == 0; ++read) {
        EXPECT_GT(device.readSamples(samples.data(), samples.size()), 0u) << device.lastError();
    }
    EXPECT_GT(device.readSamples(samples.data(), samples.size()), 0u) << device.lastError();
    EXPECT_GT(test::lossesOf(device).rxOverruns, 0u);
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
    const test::ReceiveGrant* grant = nullptr;                  // where set, the board runs no further ahead

    void read(BladeRfSdrDevice& device)
    {
        if (grant != nullptr) {
            grant->grant(samples);
        }
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
    while (test::lossesOf(device).rxOverruns == 0 && follower.samples < 40'000'000 && !HasFailure()) {
        follower.read(device);
    }
    follower.read(device); // and samples again after it
    ASSERT_GE(test::lossesOf(device).rxOverruns, 1u);
    EXPECT_EQ(follower.jumps.size(), test::lossesOf(device).rxOverruns);
    std::uint64_t lost = 0; // forward; a step back lost nothing
    for (const auto& [at, step] : follower.jumps) {
        lost += step < kPatternPeriod / 2 ? step - 1 : 0;
    }
    EXPECT_EQ(lost, test::lossesOf(device).rxLostSamples);
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
    // An instrumented or emulated build is slower: a shorter run, still many
    // times the library's buffers in each stretch. The board runs only so far
    // ahead of the reader, so a busy machine loses nothing.
    const auto rampCount = static_cast<std::size_t>((kReaderMayFallBehind ? 0.25 : 10) * kRate) + 1'001;
    const std::uint64_t receiveAloneCount = kReaderMayFallBehind ? 1'000'000 : 5'000'000;
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
    // Both configured before the board holds for the reader. Transmit starts
    // after the first read: libbladeRF hands out its first receive transfers
    // from the stream's own thread, and another thread handling the bus's
    // events meanwhile (the transmit stream's) may complete them out of order.
    ASSERT_TRUE(device.setFullDuplex(true));
    ASSERT_TRUE(test::configureRx(device, {915e6, kRate, 0.0, 20.0}));
    ASSERT_TRUE(device.configureTx({915e6, kRate, 0.0, 0.0}));
    const test::ReceiveGrant grant(kGrantAhead);
    ASSERT_TRUE(device.startRx());
    PatternFollower follower;
    follower.grant = &grant;
    follower.shortReadsAllowed = kReaderMayFallBehind;
    follower.read(device);
    ASSERT_TRUE(device.startTx());
    std::atomic<bool> sent{false};
    std::jthread writer([&] {
        send(rampCount);
        sent = true;
    });
    while ((!sent || follower.samples < rampCount) && !HasFailure()) {
        follower.read(device);
    }
    device.stopTx();
    for (const std::uint64_t alone = follower.samples + receiveAloneCount; follower.samples < alone && !HasFailure();) {
        follower.read(device);
    }
    EXPECT_TRUE(follower.jumps.empty());
    EXPECT_EQ(test::lossesOf(device).rxOverruns, 0u);
    ASSERT_TRUE(device.startTx());
    grant.release();
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
    // Transmit restarted beside the timestamped receive stream, so it runs
    // in the timestamped format: 128 messages of 508 samples per buffer, and
    // the fourth buffer, partial, went out whole.
    ASSERT_GE(bytes.size(), again + 4 * 4 * 128 * 508);
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

#ifdef VELTRANO_EMULATED_MICRO
// The micro's RFIC command that names the receive gain mode.
constexpr unsigned kRficGainMode = 6;
#endif

// Gain, bandwidth and automatic gain changes reach the board with no stop,
// start or gap in the stream.
TEST_F(RealLibBladeRf, aLiveGainBandwidthAndAutomaticGainChangeReachTheBoardWithNoGapAndNoRestart)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, 2e6, 0.0, 20.0}));
    const test::ReceiveGrant grant(kGrantAhead);
    ASSERT_TRUE(device.startRx());
    PatternFollower follower;
    follower.grant = &grant;
    follower.read(device);
    const std::size_t mark = test::journalSince(0).size();
    ASSERT_TRUE(device.setBandwidth(kRx, 5e6));
    EXPECT_EQ(device.bandwidthHz(kRx), 5e6);
#ifdef VELTRANO_EMULATED_MICRO
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, 5, 0), 5000000);
    // The overall gain goes to the RFIC as the "full" stage less the band's -17 dB offset.
    ASSERT_TRUE(device.setGain(kRx, 30.0));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, 7, 0), 47);
    EXPECT_EQ(device.gainDb(kRx), 30.0);
#ifdef VELTRANO_MICRO_FPGA_TUNING
    // In the library's FPGA tuning mode the micro lists no stages.
    EXPECT_TRUE(device.gainStages(kRx).empty());
    EXPECT_THAT(journal(), Contains("rfic gain rx0 47"));
    // Automatic gain goes to the FPGA as the library's default mode (0),
    // whose AGC the FPGA picks.
    ASSERT_TRUE(device.setAutomaticGain(kRx, true));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), 0);
#else
    // Driving the chip itself, the library offers its one receive stage.
    ASSERT_TRUE(device.setGainStage(kRx, "full", 40.0));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, 7, 0), 40);
    EXPECT_EQ(device.gainStageDb(kRx, "full"), 40.0);
    // Automatic gain puts the chip's slow attack AGC (3) in charge, and the
    // gain read is the one it chose (the emulated AGC settles on index 50:
    // 51 dB on the full stage here, 34 dB overall).
    ASSERT_TRUE(device.setAutomaticGain(kRx, true));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), 3);
    EXPECT_EQ(device.gainDb(kRx), 34.0);
    EXPECT_THAT(journal(), Contains(testing::EndsWith("gain=51 agc=slow")));
#endif
    // Off again: manual gain (1), with the stage's gain in force once more.
    ASSERT_TRUE(device.setAutomaticGain(kRx, false));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), 1);
    EXPECT_FALSE(device.automaticGain(kRx));
#else
    // (Automatic gain, which the x40 refuses: the bias tee's test.)
    EXPECT_EQ((veltrano_usb_bladerf_lms_register(nullptr, 0x54) >> 2) & 0xf, 9); // the LMS6002D's 5 MHz filter
    ASSERT_EQ(device.gainStages(kRx).size(), 3u);
    ASSERT_TRUE(device.setGainStage(kRx, "rxvga2", 9.0));
    EXPECT_EQ(veltrano_usb_bladerf_lms_register(nullptr, 0x65) & 0x1f, 3); // 3 dB per code
    EXPECT_EQ(device.gainStageDb(kRx, "rxvga2"), 9.0);
    // The library would take a name it does not know and do nothing.
    EXPECT_FALSE(device.setGainStage(kRx, "RXVGA2", 30.0));
    EXPECT_EQ(device.gainStageDb(kRx, "rxvga2"), 9.0);
#endif
    EXPECT_THAT(test::journalSince(mark), Not(Contains(kStopOrStart)));
    follower.read(device);
    EXPECT_TRUE(follower.jumps.empty()) << device.lastError();
    grant.release();
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
        const std::uint64_t counterBefore = veltrano_usb_bladerf_timestamp(nullptr, 0) % kPatternPeriod;
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

TEST_F(RealLibBladeRf, theBiasTeeSwitchesOnTheMicroAndIsRefusedOnTheX40)
{
#ifndef VELTRANO_EMULATED_MICRO
    // Refused without asking the library, which logs an error for each
    // question. So is automatic gain, which the library lists for every x40
    // and refuses without the board's DC calibration table: asked quietly.
    // (The library's open warns of the missing table itself.)
    std::string libraryLog;
    {
        BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
        ::testing::internal::CaptureStderr();
        for (const StreamDirection direction : {kRx, kTx}) {
            EXPECT_FALSE(device.supportsBiasTee(direction));
            EXPECT_FALSE(device.setBiasTee(direction, true));
            EXPECT_FALSE(device.biasTee(direction));
            EXPECT_FALSE(device.supportsAutomaticGain(direction));
            EXPECT_FALSE(device.setAutomaticGain(direction, true));
        }
        libraryLog = ::testing::internal::GetCapturedStderr();
    }
    EXPECT_THAT(libraryLog, Not(HasSubstr("[ERROR")));
    EXPECT_THAT(libraryLog, Not(HasSubstr("[WARNING")));
#else
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    for (const StreamDirection direction : {kRx, kTx}) {
        EXPECT_TRUE(device.supportsBiasTee(direction));
        EXPECT_FALSE(device.biasTee(direction));
    }
    ASSERT_TRUE(device.setBiasTee(kRx, true));
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control(nullptr) & (1u << 5 | 1u << 10), 1u << 5);
    ASSERT_TRUE(device.setBiasTee(kTx, true));
    ASSERT_TRUE(device.setBiasTee(kRx, false));
    EXPECT_EQ(veltrano_usb_bladerf_rffe_control(nullptr) & (1u << 5 | 1u << 10), 1u << 10);
    EXPECT_FALSE(device.biasTee(kRx));
    EXPECT_TRUE(device.biasTee(kTx));
    EXPECT_THAT(journal(), Contains("bias-tee rx=1 tx=1"));
#endif
}

// What each emulated board tells libbladeRF of itself: the x40's FPGA is
// the 40 kLE part and the board has no AD9361, whose library is not asked
// (it would log an error); the micro's AD9361 reads its steady temperature
// code 46 (46 / 1.14 = 40.351 °C) only where the library drives the chip,
// and RX1's RSSI of 60.25 dB below full scale in either mode.
struct BoardReport {
    const char* fpgaSize;
    std::vector<std::string> sensors; // board-wide, then "rx:" and the receive chain's
    std::optional<double> temperature;
    const char* temperatureRefusal;
    std::optional<double> rssi;
};
#if defined(VELTRANO_MICRO_FPGA_TUNING)
const BoardReport kReport = {"A4", {"rfic_temperature", "rx:rssi"}, std::nullopt, "in host tuning mode", -60.0};
#elif defined(VELTRANO_EMULATED_MICRO)
const BoardReport kReport = {"A4", {"rfic_temperature", "rx:rssi"}, 40.351, "", -60.0};
#else
const BoardReport kReport = {"40 kLE", {}, std::nullopt, "a bladeRF1 has no RFIC temperature sensor", std::nullopt};
#endif

TEST_F(RealLibBladeRf, theBoardsVersionsAndSensorsReadBackWhatItReports)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ::testing::internal::CaptureStderr();
    const BoardIdentity identity = device.boardIdentity();
    EXPECT_EQ(identity.firmwareVersion, "2.4.0");
    EXPECT_EQ(identity.fpgaVersion, "0.14.0");
    EXPECT_EQ(identity.fpgaSize, kReport.fpgaSize);
    EXPECT_EQ(identity.fpgaLoaded, true);
    EXPECT_THAT(identity.libraryVersion.value_or(""), HasSubstr("2022.11"));
    EXPECT_EQ(identity.boardRevision, std::nullopt);
    std::vector<std::string> sensors;
    for (const SensorDescription& sensor : device.sensors()) {
        sensors.push_back(sensor.name);
    }
    for (const SensorDescription& sensor : device.channelSensors(kRx)) {
        sensors.push_back("rx:" + sensor.name);
    }
    EXPECT_EQ(sensors, kReport.sensors);
    const SensorReading temperature = device.readSensor("rfic_temperature");
    EXPECT_EQ(temperature.value, kReport.temperature);
    EXPECT_THAT(temperature.failure, HasSubstr(kReport.temperatureRefusal));
    EXPECT_EQ(device.readChannelSensor(kRx, "rssi").value, kReport.rssi);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), Not(HasSubstr("[ERROR")));
}

} // namespace
} // namespace veltrano
