// SPDX-License-Identifier: MIT
// Debian's real libhackrf driving the USB-level emulated board. Versions,
// receive, retune, native sweep and transmit: what the board sends arrives
// unchanged, and what the device queues reaches the board byte for byte.
// Live control: the requests the library sends for each change reach the
// board while it streams, the stream goes on without a gap or a mode change,
// and a rate change sets the board's pace; what it breaks is counted. Faults: a board that vanishes or
// falls silent at each moment a client can meet it: every call returns within
// the bound (a silent board's vendor requests excepted: libhackrf sends them
// without a time-out), says why, keeps what arrived before the loss, and the
// board is picked up again once it is back. Stopping with transfers in
// flight, and every other scenario, leaves no transfer, no handle and no
// library thread.
#include "tests/support/ThroughInterface.h"
#include "tests/reallib/RealLibHackRf.h"
#include "tests/support/Watchdog.h"

#include <chrono>
#include <future>
#include <memory>

namespace veltrano {
namespace {

using test::Clock;
constexpr auto rx = StreamDirection::rx;
constexpr auto tx = StreamDirection::tx;

class RealLibStreaming : public test::RealLibHackRf {};

// The board's identity as libhackrf reads it, and its clock-in status as the
// board sees CLKIN at the moment of asking: nothing, then a clock plugged in.
TEST_F(RealLibStreaming, theBoardsVersionsAndClockInStatusReadBackWhatItReports)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    const BoardIdentity identity = device.boardIdentity();
    EXPECT_EQ(identity.firmwareVersion, "usb-emulated-2026.01");
    EXPECT_EQ(identity.boardId, "HackRF One");
    EXPECT_EQ(identity.boardRevision, "r6");
    EXPECT_EQ(identity.libraryVersion, "2022.09.1");
    EXPECT_EQ(identity.fpgaVersion, std::nullopt);
    ASSERT_EQ(device.sensors().size(), 1u);
    EXPECT_TRUE(device.sensors()[0].boolean);
    for (const char* plugged : {"0", "1"}) {
        const test::ScopedEnvironment clock("VELTRANO_USB_HACKRF_CLKIN", plugged);
        EXPECT_EQ(device.readSensor("clock_in").value, plugged[0] == '1' ? 1.0 : 0.0) << plugged;
    }
}

TEST_F(RealLibStreaming, aNativeSweepDeliversTheProgrammedStepsWithTheirUsableRanges)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureNativeSweep({98e6, 20e6, 15e6, 20.0}, 88e6, 108e6) && device.startNativeSweep())
        << device.lastError();

    // 88 to 108 MHz in 20 MHz steps, interleaved: steps at 88 and 93 MHz, each
    // usable in its first and third quarter (88-93 and 98-103 MHz, then 93-98 and 103-108).
    for (int i = 0; i < 6; ++i) {
        NativeSweepBlock block;
        ASSERT_TRUE(test::eventually([&] { return device.readNativeSweepBlock(block); })) << device.lastError();
        const double low = i % 2 == 0 ? 88e6 : 93e6;
        EXPECT_EQ(std::make_tuple(block.centerFrequencyHz, block.sampleRateHz, block.sweepStart, block.samples.size()),
                  std::make_tuple(low + 7.5e6, 20e6, low == 88e6, std::size_t{512}));
        ASSERT_EQ(block.validRanges.size(), 2u);
        EXPECT_EQ(std::make_tuple(block.validRanges[0].minimumHz, block.validRanges[0].maximumHz,
                                  block.validRanges[1].minimumHz, block.validRanges[1].maximumHz),
                  std::make_tuple(low, low + 5e6, low + 10e6, low + 15e6));
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
    const auto mark = [](std::size_t k) {
        return static_cast<std::int8_t>(k % 254 < 127 ? k % 254 - 127 : k % 254 - 126);
    };
    for (std::size_t k = offset; k < offset + 2 * count; k += 2) {
        burst.bytes.insert(burst.bytes.end(),
                           {static_cast<std::uint8_t>(mark(k)), static_cast<std::uint8_t>(mark(k + 1))});
        burst.samples.emplace_back(mark(k) / 127.0f, mark(k + 1) / 127.0f);
    }
    return burst;
}

TEST_F(RealLibStreaming, transmitSendsWhatWasQueuedWithSilenceBetweenAndDrainsThroughTheFlushWhileGainsChange)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureTx({100e6, 2e6, 1.75e6, 0.0}) && device.startTx()) << device.lastError();
    ASSERT_TRUE(test::eventually([] { return veltrano_usb_hackrf_tx_bytes(nullptr) > 0; }));
    // Gains change while the board transmits.
    ASSERT_TRUE(device.setGain(tx, 33) && device.setGainStage(tx, "AMP", 14)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, "tx_vga_gain"), 33.0);
    EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, "amplifier"), 1.0);
    EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(nullptr), 2);

    const MarkedBurst bursts[] = {markedBurst(100'000, 0), markedBurst(50'000, 77)};
    for (const MarkedBurst& burst : bursts) {
        // Let the ring run dry before each burst, so silence comes between.
        const std::uint64_t underrunBefore = test::lossesOf(device).txUnderrunBytes;
        ASSERT_TRUE(
            test::eventually([&] { return test::lossesOf(device).txUnderrunBytes > underrunBefore + 262'144; }));
        std::size_t written = 0;
        ASSERT_TRUE(test::eventually([&] {
            written += device.writeSamples(burst.samples.data() + written, burst.samples.size() - written);
            return written == burst.samples.size();
        }));
    }
    EXPECT_TRUE(device.drainTx({})) << device.lastError();
    device.stopTx();

    std::vector<std::uint8_t> sent(veltrano_usb_hackrf_tx_bytes(nullptr));
    sent.resize(veltrano_usb_hackrf_tx_copy(nullptr, sent.data(), 0, sent.size()));
    auto at = sent.begin();
    for (const MarkedBurst& burst : bursts) {
        at = std::find_if(at, sent.end(), [](std::uint8_t byte) { return byte != 0; });
        ASSERT_GE(sent.end() - at, static_cast<std::ptrdiff_t>(burst.bytes.size()));
        EXPECT_TRUE(std::equal(burst.bytes.begin(), burst.bytes.end(), at));
        at += static_cast<std::ptrdiff_t>(burst.bytes.size());
    }
    EXPECT_TRUE(std::all_of(at, sent.end(), [](std::uint8_t byte) { return byte == 0; }));
}

// Listing the board through the real library is pinned by the probe's run on
// the bus of both boards and by the several-boards test.
TEST_F(RealLibStreaming,
       changesReachTheStreamingBoardWithNoGapOrModeChangeARetuneDiscardsWhatCameBeforeAndTheNewRateSetsThePace)
{
    // The board opens its journal when the library first reaches it, below.
    const test::TemporaryDirectory directory;
    const test::ScopedEnvironment journal("VELTRANO_USB_HACKRF_JOURNAL", test::environmentText(directory / "journal"));
    HackRfSdrDevice device(test::kEmulatedSerial);
    EXPECT_EQ(device.firmwareVersion(), "usb-emulated-2026.01");
    EXPECT_EQ(device.usbApiVersion(), 0x0107);
    ASSERT_TRUE(device.configureRx({100e6, 8e6, 0.0, 20.0}) && device.startRx()) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, "baseband_filter"), 6e6);
    std::vector<std::uint8_t> bytes = test::receiveBytes(device, 100'000);
    const std::size_t journalBefore = test::readLines(directory / "journal").size();

    ASSERT_TRUE(device.setGainStage(rx, "LNA", 32) && device.setGainStage(rx, "VGA", 41) &&
                device.setGainStage(rx, "AMP", 14) && device.setBandwidth(rx, 5e6) && device.setBiasTee(rx, true))
        << device.lastError();
    const std::vector<std::uint8_t> after = test::receiveBytes(device, 400'000);
    bytes.insert(bytes.end(), after.begin(), after.end());
    EXPECT_TRUE(test::streamPositionOf(bytes).has_value());

    const std::pair<const char*, double> expected[] = {
        {"lna_gain", 32}, {"vga_gain", 42}, {"amplifier", 1}, {"baseband_filter", 5e6}, {"antenna_power", 1}};
    for (const auto& [setting, value] : expected) {
        EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, setting), value) << setting;
    }
    const std::vector<std::string> lines = test::readLines(directory / "journal");
    ASSERT_GT(lines.size(), journalBefore);
    // No transceiver mode request.
    EXPECT_TRUE(std::none_of(lines.begin() + static_cast<std::ptrdiff_t>(journalBefore), lines.end(),
                             [](const std::string& line) { return line.starts_with("control out 1 "); }));
    EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(nullptr), 1);

    ASSERT_TRUE(device.setRxFrequency(101e6)) << device.lastError();
    const std::uint64_t retunedAt = veltrano_usb_hackrf_rx_position_at_last_tune(nullptr);
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

    // A live rate change sets the board's pace: over two seconds the samples
    // the board sent, those read plus those the ring had to drop for a reader
    // slowed by a loaded machine (two bytes each), come at the new rate. The
    // tenth allowed is 0.2 s of the board's time, three of its 256 KiB
    // transfers, the granularity at either end.
    ASSERT_TRUE(device.setSampleRate(rx, 2e6)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, "sample_rate"), 2e6);
    // The library set its own filter with the rate; the one chosen above went back on.
    EXPECT_EQ(veltrano_usb_hackrf_setting(nullptr, "baseband_filter"), 5e6);
    std::vector<std::complex<float>> samples(65536);
    ASSERT_TRUE(test::eventually([&] { return device.readSamples(samples.data(), 1) == 1; }));
    const std::uint64_t droppedBefore = test::lossesOf(device).rxDroppedBytes;
    const Clock::time_point start = Clock::now();
    std::size_t received = 0;
    while (Clock::now() - start < std::chrono::seconds(2)) {
        received += device.readSamples(samples.data(), samples.size());
    }
    const double sent =
        static_cast<double>(received) + static_cast<double>(test::lossesOf(device).rxDroppedBytes - droppedBefore) / 2;
    const double rate = sent / std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_NEAR(rate, 2e6, 2e5);
    device.stopRx();
}

// A live rate change through the real library: the stream breaks once, at
// the change. Every byte the board took at the old rate (the receive pattern
// before its position at the rate request) was either read before the change
// or counted as discarded or dropped, and the first byte read after it was
// taken at the new rate. The pattern tells each byte's stream position, so
// the count between the last byte read and the next must match exactly. A
// reader slowed by a loaded machine lets the ring overflow: its losses count
// here once the reader got to them (rxOverflowBytesReached), as a drop
// further on in the stream, counted by rxDroppedBytes the moment it happens,
// belongs to neither side of the break.
struct RateChange {
    const char* name;
    double fromHz;
    double toHz;
};

const RateChange kRateChanges[] = {{"up", 2e6, 10e6}, {"down", 10e6, 2e6}};

class RealLibRateChange : public RealLibStreaming, public ::testing::WithParamInterface<RateChange> {};

TEST_P(RealLibRateChange, everyByteTakenAtTheOldRateIsReadBeforeTheChangeOrCountedAndNoneAfter)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_TRUE(device.configureRx({100e6, GetParam().fromHz, 0.0, 20.0}) && device.startRx()) << device.lastError();
    const std::vector<std::uint8_t> before = test::receiveBytes(device, 400'000);
    const std::optional<std::uint64_t> beforeAt = test::streamPositionOf(before);
    ASSERT_TRUE(beforeAt.has_value());
    const std::uint64_t lastReadEnd = *beforeAt + before.size();
    const auto lostSoFar = [&device] { return 2 * device.rxDiscardedSamples() + device.rxOverflowBytesReached(); };
    const std::uint64_t lostBefore = lostSoFar();

    ASSERT_TRUE(device.setSampleRate(rx, GetParam().toHz)) << device.lastError();
    const std::uint64_t newRateFrom = veltrano_usb_hackrf_rx_position_at_last_rate_change(nullptr);
    const std::optional<std::uint64_t> resumedAt = test::streamPositionOf(test::receiveBytes(device, 100'000));
    ASSERT_TRUE(resumedAt.has_value());
    EXPECT_GE(newRateFrom, lastReadEnd);
    EXPECT_GE(*resumedAt, newRateFrom) << "a byte taken at the old rate was handed out after the change";
    const std::uint64_t lost = lostSoFar() - lostBefore;
    EXPECT_EQ(lost, *resumedAt - lastReadEnd) << "bytes between the last read and the next went uncounted";
    device.stopRx();
}

INSTANTIATE_TEST_SUITE_P(Rates, RealLibRateChange, ::testing::ValuesIn(kRateChanges),
                         [](const ::testing::TestParamInfo<RateChange>& info) { return std::string(info.param.name); });

using std::chrono::milliseconds;

// Runs `call` on a thread of its own while the board is silent: it is still
// waiting 300 ms in, and returns once `release` ran. (A loaded machine can
// only make the call later, never early: the 300 ms cannot fail a right call;
// the 20 s only turns a hang into a failure.)
template <typename Call>
auto whileSilent(Call call, void (*release)())
{
    veltrano_usb_hackrf_stall(nullptr, 1);
    auto result = std::async(std::launch::async, call);
    EXPECT_NE(result.wait_for(milliseconds(300)), std::future_status::ready);
    release();
    EXPECT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return result.get();
}

constexpr const char* kUnpluggedText = "No such device (it may have been disconnected)";
constexpr std::uint64_t kTransferBytes = 262'144; // libhackrf's bulk transfers
// What a call may take once the board is gone; one that reopens the board
// waits for it up to 12 x 250 ms first. The faults these catch are calls that
// wait out a library or USB time-out (seconds, or for ever); the calls here
// take milliseconds even under ThreadSanitizer and qemu with the other core
// busy, so a second leaves them room.
constexpr std::chrono::seconds kBound(1);
constexpr std::chrono::seconds kReopenBound(4);
const StreamConfig kRx{100e6, 10e6, 10e6, 20.0};
const StreamConfig kTx{100e6, 2e6, 1.75e6, 0.0};
const StreamConfig kSweep{98e6, 20e6, 15e6, 20.0};

// The client of one scenario: its device, and the longest any call took.
// `timed` runs a call that must return within the bound.
struct Client : test::CallTimes {
    std::unique_ptr<HackRfSdrDevice> device = std::make_unique<HackRfSdrDevice>(test::kEmulatedSerial);
    // Calls that may reopen the board, which wait for it up to 12 x 250 ms.
    test::CallTimes reopens;
    void destroy()
    {
        timed([&] { device.reset(); });
    }

    // Reads until `bytes` arrived or the stream reports its end, each read timed.
    std::vector<std::uint8_t> receive(std::size_t bytes)
    {
        return test::receiveBytes(*device, bytes, [&](std::uint8_t* samples, std::size_t count) {
            return timed([&] { return device->readNativeSamples(samples, count); });
        });
    }
};

// Once the started stream runs (the board moved data and more is submitted),
// stops it; without `stop` the client's destruction stops it.
void stopWithTransfersInFlight(Client& client, bool started, const std::function<void()>& stop)
{
    ASSERT_TRUE(started) << client.device->lastError();
    const std::uint64_t rxBefore = veltrano_usb_hackrf_rx_bytes_delivered(nullptr);
    const std::uint64_t txBefore = veltrano_usb_hackrf_tx_bytes(nullptr);
    ASSERT_TRUE(test::eventually([&] {
        return veltrano_usb_hackrf_rx_bytes_delivered(nullptr) != rxBefore ||
               veltrano_usb_hackrf_tx_bytes(nullptr) != txBefore;
    }));
    ASSERT_GT(veltrano_usb_hackrf_transfers_in_flight(), 0);
    if (stop) {
        client.timed(stop);
        // libhackrf's stop may return with one cancelled transfer not yet
        // completed: a transmit callback that ran as the stop began sends
        // the flush transfer, which the stop cancels but does not wait for.
        // Its library thread completes it at its next event handling.
        EXPECT_TRUE(test::eventually([] { return veltrano_usb_hackrf_transfers_in_flight() == 0; }));
        EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(nullptr), 0);
    }
}

struct FaultScenario {
    const char* name;
    std::optional<std::string> unplugAfterBytes;        // VELTRANO_USB_HACKRF_UNPLUG_AFTER_BYTES, if any
    bool bounded;                                       // false: a silent board, whose vendor requests wait for it
    std::function<void(Client&, HackRfSdrDevice&)> run; // on an opened client
};

const FaultScenario kScenarios[] = {
    {"receive", "1048576", true,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx()) << device.lastError();
         // The board leaves after exactly four transfers: every byte of them
         // arrives, once and in order, before the end is reported.
         const std::vector<std::uint8_t> received = client.receive(2 * 1'048'576);
         EXPECT_EQ(received.size(), 1'048'576u);
         EXPECT_EQ(test::streamPositionOf(received), 0u);
         EXPECT_EQ(device.lastError(), "RX stream stopped: streaming stopped");
         client.timed([&] { device.stopRx(); });
         veltrano_usb_hackrf_replug(nullptr);
         // The old handle is dead: configuration reopens the board, then streams.
         EXPECT_TRUE(client.reopens.timed([&] { return device.configureRx(kRx); })) << device.lastError();
         ASSERT_TRUE(device.startRx()) << device.lastError();
         EXPECT_TRUE(test::streamPositionOf(client.receive(100'000)));
     }},
    {"sweep", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureNativeSweep(kSweep, 88e6, 108e6) && device.startNativeSweep())
             << device.lastError();
         NativeSweepBlock block;
         ASSERT_TRUE(
             test::eventually([&] { return client.timed([&] { return device.readNativeSweepBlock(block); }); }));
         veltrano_usb_hackrf_unplug(nullptr);
         // Blocks already queued still come; then the end is reported.
         ASSERT_TRUE(test::eventually([&] {
             return !client.timed([&] { return device.readNativeSweepBlock(block); }) && !device.lastError().empty();
         }));
         EXPECT_EQ(device.lastError(), "native sweep stopped: streaming stopped");
         veltrano_usb_hackrf_replug(nullptr);
         EXPECT_TRUE(client.reopens.timed([&] { return device.recoverNativeSweep(); })) << device.lastError();
         EXPECT_TRUE(test::eventually([&] { return device.readNativeSweepBlock(block); })) << device.lastError();
         EXPECT_EQ(block.samples.size(), 512u);
     }},
    {"transmit", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureTx(kTx) && device.startTx()) << device.lastError();
         const std::vector<std::complex<float>> samples(100'000, {0.25F, -0.25F});
         ASSERT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
         veltrano_usb_hackrf_unplug(nullptr);
         // Once the library has seen the loss, nothing more is queued for a stream that is gone.
         ASSERT_TRUE(test::eventually([&] {
             return client.timed([&] { return device.writeSamples(samples.data(), 1000); }) == 0 &&
                    !device.lastError().empty();
         }));
         EXPECT_EQ(device.lastError(), "TX stream stopped: streaming stopped");
         client.timed([&] { device.stopTx(); });
         veltrano_usb_hackrf_replug(nullptr);
         EXPECT_TRUE(client.reopens.timed([&] { return device.reopenDevice(); })) << device.lastError();
         ASSERT_TRUE(device.configureTx(kTx) && device.startTx()) << device.lastError();
         ASSERT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
         EXPECT_TRUE(device.drainTx({})) << device.lastError();
         device.stopTx();
     }},
    // At least four transfers of silence go first (libhackrf fills its queue
    // at the start), then the samples: the board leaves after twelve
    // transfers, with a third of the samples still queued, during the drain,
    // before the stream's end could queue the flush (so none ever comes).
    {"drainTx", "3145728", true,
     [](Client& client, HackRfSdrDevice& device) {
         const std::vector<std::complex<float>> samples(12 * kTransferBytes / 2, {0.25F, -0.25F});
         // 5 Msps: the board leaves about 0.3 s into the stream.
         ASSERT_TRUE(device.configureTx({100e6, 5e6, 1.75e6, 0.0}) && device.startTx()) << device.lastError();
         ASSERT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
         EXPECT_FALSE(client.timed([&] { return device.drainTx({}); }));
         EXPECT_EQ(device.lastError(), "TX stream stopped: streaming stopped");
         EXPECT_EQ(veltrano_usb_hackrf_tx_bytes(nullptr), 12 * kTransferBytes);
         client.timed([&] { device.stopTx(); });
     }},
    {"configureRxReplugged", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         veltrano_usb_hackrf_unplug(nullptr);
         // Back while the configuration's reopen is waiting for it: 0.6 s
         // into a wait of up to 3 s, so the replug may come 2.4 s late.
         std::thread replug([] {
             std::this_thread::sleep_for(milliseconds(600));
             veltrano_usb_hackrf_replug(nullptr);
         });
         EXPECT_TRUE(client.reopens.timed([&] { return device.configureRx(kRx); })) << device.lastError();
         replug.join();
         EXPECT_EQ(device.lastError(), "");
         ASSERT_TRUE(device.startRx()) << device.lastError();
         EXPECT_TRUE(test::streamPositionOf(client.receive(100'000)));
     }},
    {"configureRxGone", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         veltrano_usb_hackrf_unplug(nullptr);
         EXPECT_FALSE(client.reopens.timed([&] { return device.configureRx(kRx); }));
         EXPECT_EQ(device.lastError(), std::string("set sample rate: ") + kUnpluggedText +
                                           "; device close/reopen failed (close: " + kUnpluggedText +
                                           ") (open: HackRF not found)");
         EXPECT_FALSE(device.supportsRxAmplifier());
     }},
    {"destruction", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         ASSERT_TRUE(test::streamPositionOf(client.receive(100'000)));
         veltrano_usb_hackrf_unplug(nullptr);
         client.destroy();
     }},
    // A silent board: libhackrf sends its vendor requests without a time-out,
    // so configuration waits until the board answers again.
    {"silentDuringConfiguration", std::nullopt, false,
     [](Client&, HackRfSdrDevice& device) {
         EXPECT_TRUE(
             whileSilent([&] { return device.configureRx(kRx); }, [] { veltrano_usb_hackrf_stall(nullptr, 0); }))
             << device.lastError();
     }},
    // Reads stay bounded while the board is silent (nothing came, no error);
    // the stream goes on where it was once it answers; a stop waits for it.
    {"silentDuringStreaming", std::nullopt, false,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         std::vector<std::uint8_t> received = client.receive(100'000);
         veltrano_usb_hackrf_stall(nullptr, 1);
         // What was in flight drains away, then the reads come back empty.
         ASSERT_TRUE(test::eventually([&] {
             const std::size_t before = received.size();
             received.resize(before + 131'072);
             received.resize(
                 before + 2 * client.timed([&] { return device.readNativeSamples(received.data() + before, 65'536); }));
             return received.size() == before;
         }));
         EXPECT_LT(client.longest, kBound);
         EXPECT_EQ(device.lastError(), "");
         veltrano_usb_hackrf_stall(nullptr, 0);
         const std::vector<std::uint8_t> more = client.receive(100'000);
         received.insert(received.end(), more.begin(), more.end());
         EXPECT_TRUE(test::streamPositionOf(received));
         whileSilent([&] { device.stopRx(); }, [] { veltrano_usb_hackrf_stall(nullptr, 0); });
     }},
    // What frees a call blocked on a silent board: the board going away.
    {"silentThenUnplugged", std::nullopt, false,
     [](Client& client, HackRfSdrDevice& device) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         whileSilent([&] { client.destroy(); }, [] { veltrano_usb_hackrf_unplug(nullptr); });
     }},
    // Each stream stopped while the real library has transfers in flight, the last by the destructor.
    {"stopEachStream", std::nullopt, true,
     [](Client& client, HackRfSdrDevice& device) {
         stopWithTransfersInFlight(client, device.configureRx(kRx) && device.startRx(), [&] { device.stopRx(); });
         stopWithTransfersInFlight(client,
                                   device.configureNativeSweep(kSweep, 88e6, 108e6) && device.startNativeSweep(),
                                   [&] { device.stopRx(); });
         stopWithTransfersInFlight(client, device.configureTx(kTx) && device.startTx(), [&] { device.stopTx(); });
         stopWithTransfersInFlight(client, device.configureRx(kRx) && device.startRx(), nullptr);
     }},
};

class RealLibFault : public test::RealLibHackRf, public ::testing::WithParamInterface<FaultScenario> {};

TEST_P(RealLibFault, everyCallReturnsSaysWhyAndTheBoardIsPickedUpAgain)
{
    const FaultScenario& scenario = GetParam();
    const test::ScopedEnvironment unplugAfter("VELTRANO_USB_HACKRF_UNPLUG_AFTER_BYTES", scenario.unplugAfterBytes);
    const std::size_t threadsBefore = test::threadCount();
    {
        const test::Watchdog watchdog(scenario.name, std::chrono::seconds(60));
        Client client;
        scenario.run(client, *client.device);
        client.destroy();
        if (scenario.bounded) {
            EXPECT_LE(client.longest, kBound);
            EXPECT_LE(client.reopens.longest, kReopenBound);
        }
    }
    EXPECT_EQ(veltrano_usb_hackrf_open_handles(), 0);
    EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
    EXPECT_EQ(veltrano_usb_hackrf_transfers_allocated(), 0);
    EXPECT_EQ(test::threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Moments, RealLibFault, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
