// SPDX-License-Identifier: MIT
// Streams through the module, in process: what a SoapySDR reader and writer
// see, against what the simulated boards delivered and were given.
#include "device/hackrf/HackRfTransfers.h"
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/simulators/SceneExpectations.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

using SoapyStreams = test::SoapyModule;

// The module's read flag for samples discarded before a read's first.
constexpr int kDiscardedBeforeFlag = 1 << 16;
// What a HackRF throws away after a retune, beside what its ring held.
constexpr std::uint64_t kHackRfSettlingSamples = 655'360;

// Not yet active, a stream times out; the wrong direction is an error; once
// active, the read after the board overran reports one overflow.
TEST_F(SoapyStreams, readsReportAnInactiveStreamTheWrongDirectionAndAnOverrun)
{
    simulateBladeRf("board serial=B1\nsync-rx 2 overrun\n");
    const auto device = make("driver=veltrano");
    SoapySDR::Stream* rx = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    SoapySDR::Stream* tx = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CS16);
    std::vector<std::int16_t> values(2 * 1024);
    EXPECT_EQ(readTimed(*device, rx, values.data(), 1024, 10'000).result, SOAPY_SDR_TIMEOUT);
    EXPECT_EQ(readTimed(*device, tx, values.data(), 1024, 10'000).result, SOAPY_SDR_STREAM_ERROR);
    ASSERT_EQ(device->activateStream(rx), 0);
    std::vector<int> results;
    for (int call = 0; call < 4; ++call) {
        results.push_back(read(*device, rx, values.data(), 1024));
    }
    EXPECT_THAT(results, ElementsAre(1024, 1024, SOAPY_SDR_OVERFLOW, 1024));
}

// The library lost samples (its buffers were full: a scripted gap) in the
// timestamped stream, which counts the gap and its size at different reads:
// one overflow, the samples lost in a setting, then samples again. (The plain
// stream's gap is counted by the device layer, pinned through the real library.)
TEST_F(SoapyStreams, aBladeRfGapIsReportedAsOneOverflowThenSamplesFollow)
{
    simulateBladeRf("board serial=B1\nrx-gap 100000 5000\n");
    const auto device = make("driver=veltrano");
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS16);
    std::vector<std::int16_t> values(2 * 65536);
    std::vector<int> results;
    while (results.size() < 100 && (results.empty() || results.back() != SOAPY_SDR_OVERFLOW)) {
        results.push_back(read(*device, stream, values.data(), 65536));
    }
    for (int more = 0; more < 5; ++more) {
        results.push_back(read(*device, stream, values.data(), 65536));
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), SOAPY_SDR_OVERFLOW), 1);
    EXPECT_TRUE(std::all_of(results.end() - 5, results.end(), [](int result) { return result > 0; }));
    EXPECT_EQ(device->readSetting("rx_overruns"), "1");
    EXPECT_EQ(device->readSetting("rx_lost_samples"), "5000");
}

// The ring holds 16 transfers; the 17th finds it full and is dropped, the
// 18th comes after the gap. Keeping the oldest, a reader gets every stored
// byte, the overflow where the gap lies (the read before it ends there,
// although later bytes wait), then what came after; keeping it fresh, the
// overflow at once, and the stored bytes are skipped and counted.
class SoapyRingOverflow : public test::SoapyModule, public ::testing::WithParamInterface<bool> {};

TEST_P(SoapyRingOverflow, isReportedWhereTheGapLiesOrAtOnceWhenKeptFresh)
{
    const bool fresh = GetParam();
    simulateHackRf("board H1\n");
    const auto device = make("driver=veltrano");
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS8, {0},
                                                   {{"rx_overflow_policy", fresh ? "keep_fresh" : "keep_oldest"}});
    ASSERT_EQ(device->activateStream(stream), 0);
    const test::HackRfSimulatorControl board;
    constexpr int kTransferBytes = 262'144;
    constexpr std::size_t kTransfers = detail::kHackRfRingBytes / kTransferBytes;
    const auto deliver = [&board](std::size_t transfer) {
        const std::vector<std::uint8_t> bytes(kTransferBytes, static_cast<std::uint8_t>(transfer));
        return board.deliver(bytes.data(), kTransferBytes, kTransferBytes);
    };
    for (std::size_t transfer = 0; transfer <= kTransfers; ++transfer) {
        ASSERT_EQ(deliver(transfer), 0);
    }
    // Reads of 100,000 samples do not end on a transfer: a read that would
    // cross the gap ends at it. Each read's record: its count, and the
    // transfers its first and last samples came from.
    constexpr std::size_t kRead = 100'000;
    std::vector<std::int8_t> values(2 * kRead);
    std::vector<std::tuple<int, int, int>> reads;
    const auto readOnce = [&] {
        const int result = read(*device, stream, values.data(), kRead);
        reads.emplace_back(result, result > 0 ? values[0] : 0, result > 0 ? values[2 * result - 1] : 0);
    };
    std::vector<std::tuple<int, int, int>> expected;
    if (!fresh) {
        readOnce();
        readOnce();
        ASSERT_EQ(deliver(kTransfers + 1), 0); // fits after the gap
        constexpr std::size_t kStoredSamples = detail::kHackRfRingBytes / 2;
        for (std::size_t at = 2 * kRead; at < kStoredSamples; at += kRead) {
            readOnce();
        }
        for (std::size_t at = 0; at < kStoredSamples; at += kRead) {
            const std::size_t count = std::min(kRead, kStoredSamples - at);
            expected.emplace_back(count, 2 * at / kTransferBytes, (2 * (at + count) - 1) / kTransferBytes);
        }
        // The read that got to the gap counted it; the next one reports it.
        EXPECT_EQ(device->readSetting("rx_ring_overflows"), "1");
    }
    readOnce();
    if (fresh) {
        ASSERT_EQ(deliver(kTransfers + 1), 0);
    }
    readOnce();
    expected.emplace_back(SOAPY_SDR_OVERFLOW, 0, 0);
    expected.emplace_back(kRead, kTransfers + 1, kTransfers + 1);
    EXPECT_EQ(reads, expected);
    EXPECT_EQ(device->readSetting("rx_ring_overflows"), "1");
    EXPECT_EQ(device->readSetting("rx_dropped_bytes"), std::to_string(kTransferBytes));
    EXPECT_EQ(device->readSetting("rx_skipped_bytes"), fresh ? std::to_string(detail::kHackRfRingBytes) : "0");
    EXPECT_EQ(device->readSetting("rx_overflow_policy"), fresh ? "keep_fresh" : "keep_oldest");
}

INSTANTIATE_TEST_SUITE_P(Policies, SoapyRingOverflow, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "keepFresh" : "keepOldest"; });

TEST_F(SoapyStreams, aNativeSweepDeliversEachBlockAsOneBurstWithItsFrequencies)
{
    simulateHackRf("board H1\nrx-free-run 262144\n");
    const auto device = make("driver=veltrano");
    device->writeSetting("native_sweep", "2400000000:2480000000");
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CF32);
    std::vector<std::complex<float>> samples(300);
    std::vector<std::pair<int, int>> reads; // result, flags
    while (reads.size() < 2) {
        const Outcome outcome = readTimed(*device, stream, samples.data(), samples.size());
        ASSERT_TRUE(outcome.result > 0 || outcome.result == SOAPY_SDR_OVERFLOW)
            << outcome.result; // a full queue drops blocks
        if (outcome.result > 0) {
            reads.emplace_back(outcome.result, outcome.flags);
        }
    }
    // 512 samples per block: a read that leaves part of one says more follows.
    EXPECT_THAT(reads, ElementsAre(Pair(300, SOAPY_SDR_MORE_FRAGMENTS), Pair(212, SOAPY_SDR_END_BURST)));
    // The first step lies at the range's start: at the receive rate, 10 MS/s,
    // steps are 10 MHz wide and the radio sits 3.75 MHz above each.
    EXPECT_EQ(device->readSetting("sweep_block"),
              "center_hz=2403750000, rate_hz=10000000, sweep_start=true, valid_hz=2400000000:2402500000 "
              "2405000000:2407500000");
}

// A simulator reads its script once per process, so each flush outcome is a test of its own.
struct BurstEnd {
    const char* flush; // the flag libhackrf's flush callback reports
    int status;        // what readStreamStatus then says
    int flags;
};

class SoapyHackRfBursts : public SoapyStreams, public ::testing::WithParamInterface<BurstEnd> {};

TEST_P(SoapyHackRfBursts, aBurstEndsOnceTheBoardConfirmsItsLastSampleLeft)
{
    simulateHackRf(std::string("board H1\ntx-free-run 16384\ntx-flush ") + GetParam().flush + "\n");
    const auto device = make("driver=veltrano");
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CF32);
    const std::vector<std::complex<float>> burst(1000, {0.5F, -0.5F});
    for (std::size_t round = 1; round <= 2; ++round) {
        EXPECT_EQ(write(*device, stream, burst.data(), burst.size(), SOAPY_SDR_END_BURST), 1000);
        const Outcome outcome = status(*device, stream);
        EXPECT_EQ(outcome.result, GetParam().status);
        EXPECT_EQ(outcome.flags, GetParam().flags);
        // Each burst runs a stream of its own, started for it and stopped after its end.
        EXPECT_EQ(hackRf().calls("hackrf_start_tx").size(), round);
        EXPECT_EQ(hackRf().calls("hackrf_stop_tx").size(), round);
    }
}

INSTANTIATE_TEST_SUITE_P(FlushOutcomes, SoapyHackRfBursts,
                         ::testing::Values(BurstEnd{"1", 0, SOAPY_SDR_END_BURST},
                                           BurstEnd{"0", SOAPY_SDR_STREAM_ERROR, 0}));

// On the bladeRF both centres are prepared hops, so the retune is a quick one;
// a frequency not prepared is a regular retune.
TEST_F(SoapyStreams, aReaderHearsTheSimulatedScenesCarriersAndFollowsALiveRetune)
{
    simulateHackRf("board H1\nrx-paced\n" + test::sceneScript());
    simulateBladeRf("board serial=B1\nrx-paced\n" + test::sceneScript());
    for (const char* family : {"hackrf", "bladerf"}) {
        SCOPED_TRACE(family);
        const auto device = make(std::string("driver=veltrano,family=") + family);
        const bool bladeRf = family == std::string("bladerf");
        if (bladeRf) {
            device->writeSetting("rx_hop_frequencies", "100e6,99.2e6");
            EXPECT_EQ(device->readSetting("rx_hop_frequencies"), "100000000,99200000");
        }
        device->setSampleRate(SOAPY_SDR_RX, 0, test::kSceneRateHz);
        device->setFrequency(SOAPY_SDR_RX, 0, test::kFirstCentreHz);
        device->setGain(SOAPY_SDR_RX, 0, test::kSceneGainDb);
        SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CF32);
        test::expectSceneAt(receive(*device, stream, test::kSceneSamples), test::kFirstCentreHz);
        EXPECT_EQ(device->readSetting("rx_discarded_samples"), "0");
        device->setFrequency(SOAPY_SDR_RX, 0, test::kSecondCentreHz);
        // The first read after the retune says that samples were discarded
        // before it (a HackRF's settling bytes, a bladeRF's half millisecond
        // at least), the next one does not.
        std::vector<std::complex<float>> samples(4096);
        std::vector<int> discardFlags;
        // (Reads time out while the settling samples go by.)
        for (int call = 0; call < 100 && discardFlags.size() < 2; ++call) {
            const Outcome outcome = readTimed(*device, stream, samples.data(), samples.size());
            ASSERT_TRUE(outcome.result > 0 || outcome.result == SOAPY_SDR_TIMEOUT) << outcome.result;
            if (outcome.result > 0) {
                discardFlags.push_back(outcome.flags & kDiscardedBeforeFlag);
            }
        }
        EXPECT_THAT(discardFlags, ElementsAre(kDiscardedBeforeFlag, 0));
        EXPECT_GE(std::stoull(device->readSetting("rx_discarded_samples")),
                  bladeRf ? test::kSceneRateHz / 2000 : kHackRfSettlingSamples);
        test::expectSceneAt(receive(*device, stream, test::kSceneSamples), test::kSecondCentreHz);
        if (bladeRf) {
            EXPECT_EQ(device->readSetting("fast_rx_retunes"), "1");
            device->setFrequency(SOAPY_SDR_RX, 0, 300e6);
            EXPECT_EQ(device->readSetting("regular_rx_retunes"), "1");
            EXPECT_EQ(device->getFrequency(SOAPY_SDR_RX, 0), 300e6);
            EXPECT_THROW(device->writeSetting("rx_hop_frequencies", "400e6"),
                         std::runtime_error); // not while streaming
        }
    }
}

// A bladeRF receives while it transmits, each direction at its own rate: the
// reader meets no gap while a burst is written and ended beside it, and the
// burst reaches the board bit-exact. The reader reads before the writer starts
// and until it has finished, so the whole burst lies within what it read,
// and the unpaced board loses nothing however the threads are scheduled: any
// gap would be the module's. (A HackRF takes turns instead: the push-to-talk
// tests.)
TEST_F(SoapyStreams, aBladeRfReceivesWhileItTransmits)
{
    const test::TemporaryDirectory directory;
    const test::ScopedEnvironment capture("VELTRANO_SIM_BLADERF_TX_CAPTURE", test::environmentText(directory / "tx"));
    simulateBladeRf("board serial=B1 model=bladerf1\n");
    const auto device = make("driver=veltrano,family=bladerf");
    EXPECT_TRUE(device->getFullDuplex(SOAPY_SDR_TX, 0));
    device->setSampleRate(SOAPY_SDR_RX, 0, 2e6);
    device->setSampleRate(SOAPY_SDR_TX, 0, 1e6);
    SoapySDR::Stream* rx = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS16);
    SoapySDR::Stream* tx = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CS16);
    std::vector<std::int16_t> burst(2 * 50'021);
    for (std::size_t k = 0; k < burst.size(); ++k) {
        burst[k] = static_cast<std::int16_t>(static_cast<int>(k * 37 % 4095) - 2047);
    }
    // The board counts samples in (I + 2048) + 4096 (Q + 2048), modulo 4096 squared.
    std::vector<std::int16_t> values(2 * 65'536);
    std::int64_t expected = -1;
    std::size_t steps = 0;
    const auto readAndFollow = [&] {
        const int got = read(*device, rx, values.data(), 65'536);
        EXPECT_GT(got, 0);
        for (int k = 0; k < got; ++k) {
            const std::int64_t count = (values[2 * k] + 2048) + 4096 * (values[2 * k + 1] + 2048);
            steps += expected >= 0 && count != expected ? 1 : 0;
            expected = (count + 1) % (4096 * 4096);
        }
        return got > 0;
    };
    ASSERT_TRUE(readAndFollow());
    std::atomic<bool> written{false};
    {
        const std::jthread writer([&] {
            for (int sent = 0, taken = 1; sent < 50'021 && taken > 0; sent += taken) {
                taken = write(*device, tx, burst.data() + 2 * sent, 50'021 - sent, SOAPY_SDR_END_BURST);
            }
            written = true;
        });
        while (!written && readAndFollow()) {
        }
    }
    EXPECT_TRUE(readAndFollow());
    EXPECT_EQ(steps, 0u);
    EXPECT_EQ(device->readSetting("rx_overruns"), "0");
    const std::string bytes = test::readTextFile(directory / "tx");
    ASSERT_GE(bytes.size(), 2 * burst.size());
    EXPECT_EQ(std::memcmp(bytes.data(), burst.data(), 2 * burst.size()), 0);
}

// A board that vanished mid-stream: the library's calls fail from then on.
class SoapyVanishedBoard : public SoapyStreams, public ::testing::WithParamInterface<int> {};

TEST_P(SoapyVanishedBoard, streamCallsReportAStreamErrorInsteadOfTimingOutAndTheDeviceStillCloses)
{
    const bool transmit = GetParam() == SOAPY_SDR_TX;
    simulateBladeRf(std::string("board serial=B1\nfail bladerf_sync_") + (transmit ? "tx" : "rx") +
                    " 3+ -7\nfail bladerf_enable_module 2+ -7\n");
    auto device = make("driver=veltrano");
    SoapySDR::Stream* stream = start(*device, GetParam(), SOAPY_SDR_CF32);
    std::vector<std::complex<float>> samples(1024);
    std::vector<int> results;
    for (int round = 0; round < 4; ++round) {
        results.push_back(transmit ? write(*device, stream, samples.data(), samples.size(), 0)
                                   : read(*device, stream, samples.data(), samples.size()));
    }
    EXPECT_THAT(results, ElementsAre(1024, 1024, SOAPY_SDR_STREAM_ERROR, SOAPY_SDR_STREAM_ERROR));
    EXPECT_EQ(device->readSetting("last_error"),
              std::string(transmit ? "TX" : "RX") + " stream stopped: No devices available");
    EXPECT_EQ(device->deactivateStream(stream), 0);
    device->closeStream(stream);
    device.reset();
    EXPECT_THAT(bladeRf().calls("bladerf_close"), ElementsAre("bladerf_close"));
}

INSTANTIATE_TEST_SUITE_P(Directions, SoapyVanishedBoard, ::testing::Values(SOAPY_SDR_RX, SOAPY_SDR_TX),
                         [](const auto& info) { return info.param == SOAPY_SDR_TX ? "transmit" : "receive"; });

} // namespace
} // namespace veltrano
