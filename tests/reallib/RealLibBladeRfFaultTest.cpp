// SPDX-License-Identifier: MIT
// A bladeRF x40 that vanishes or falls silent, through Debian's real
// libbladeRF and the USB-level emulated board.
#include "tests/support/ThroughInterface.h"
#include "tests/reallib/CallTiming.h"
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/Watchdog.h"

#include <gmock/gmock.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

constexpr const char* kSerial = test::kEmulatedBladeRfSerial;

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
// and per sample transfer; a stop meets all three. A call that should return
// at once takes milliseconds even under ThreadSanitizer and qemu with the
// other core busy, so the bounds catch a wait for a time-out, not a slow machine.
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
            veltrano_usb_bladerf_unplug(nullptr);
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
                EXPECT_LE(client.received.size(), veltrano_usb_bladerf_rx_samples_delivered(nullptr));
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
             return veltrano_usb_bladerf_rx_samples_delivered(nullptr) == kDelivered &&
                    veltrano_usb_bladerf_transfers_in_flight() == 0;
         }));
         client.receive(2 * kDelivered);
         EXPECT_EQ(client.received.size(), kDelivered);
         EXPECT_EQ(veltrano_usb_bladerf_rx_samples_delivered(nullptr), kDelivered);
         EXPECT_TRUE(test::contiguous(client.received));
         EXPECT_EQ(client.device->lastError(), kRxGone);
         EXPECT_EQ(client.read(), 0u);
         client.timed([&] {
        client.device->stopRx(); });
         // Back again: a new device object opened by serial streams again.
         veltrano_usb_bladerf_replug(nullptr);
         client.destroy();
         client.device = client.timed([] {
        return std::make_unique<BladeRfSdrDevice>(kSerial); });
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
             return veltrano_usb_bladerf_tx_samples(nullptr) == 4 * kWrite &&
                    veltrano_usb_bladerf_transfers_in_flight() == 0;
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
         veltrano_usb_bladerf_unplug(nullptr);
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
#ifdef VELTRANO_SANITIZED
         // The writer takes the other core: an instrumented or emulated reader
         // may fall behind, and only a gap it counted is allowed.
         EXPECT_TRUE(test::contiguous(client.received) || test::lossesOf(device).rxOverruns > 0);
#else
         EXPECT_TRUE(test::contiguous(client.received));
#endif
         EXPECT_EQ(device.lastError(), kRxGone + "; TX stream stopped: " + kGone);
         EXPECT_EQ(client.read() + client.timed([&] { return device.writeSamples(samples.data(), 1); }), 0u);
     }},
    {"configureRx", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         veltrano_usb_bladerf_unplug(nullptr);
         EXPECT_FALSE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
         EXPECT_FALSE(client.timed([&] { return client.device->startRx(); }));
     }},
    {"destruction", std::nullopt, kUnpluggedBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(true);
         client.receive(100'000);
         veltrano_usb_bladerf_unplug(nullptr);
         client.destroy();
     }},
    // Configuration fails at the first NIOS time-out and works once the board answers.
    {"silentDuringConfiguration", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         veltrano_usb_bladerf_stall(nullptr, 1);
         EXPECT_FALSE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
         veltrano_usb_bladerf_stall(nullptr, 0);
         EXPECT_TRUE(client.timed([&] { return client.device->configureRx(kRxConfig); }));
     }},
    // Reads come back empty (a time-out is no error); a stop waits out the
    // library's time-outs; the board streams again once it answers.
    {"silentDuringStreaming", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(false);
         client.receive(100'000);
         veltrano_usb_bladerf_stall(nullptr, 1);
         EXPECT_TRUE(test::eventually([&] { return client.read() == 0; }));
         EXPECT_EQ(client.device->lastError(), "");
         client.timed([&] { client.device->stopRx(); });
         veltrano_usb_bladerf_stall(nullptr, 0);
         client.received.clear();
         ASSERT_TRUE(client.timed([&] { return client.device->startRx(); }));
         client.receive(100'000);
#ifdef VELTRANO_SANITIZED
         // An instrumented or emulated reader may fall behind: only a gap it counted is allowed.
         EXPECT_TRUE(test::contiguous(client.received) || test::lossesOf(*client.device).rxOverruns > 0);
#else
         EXPECT_TRUE(test::contiguous(client.received));
#endif
     }},
    // Silent past the library's transfer time-out (1 s; the reads go on for
    // 1.5 s, half a second to spare for a late library thread), so its stream ends,
    // then gone: the next read is not let restart the stream on a board that
    // left (its stop would wait 3 s, then cancel the library's thread).
    {"silentThenUnplugged", std::nullopt, kSilentBound,
     [](Client& client, const std::filesystem::path&) {
         client.startRx(false);
         client.receive(100'000);
         veltrano_usb_bladerf_stall(nullptr, 1);
         for (const Clock::time_point until = Clock::now() + milliseconds(1500); Clock::now() < until;) {
             client.read();
         }
         veltrano_usb_bladerf_unplug(nullptr);
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
    // widen the window from microseconds to about half the runs. Full duplex
    // has a writer in the same window, and hits it now and then.
    if (std::string_view(scenario.name) == "transmit" || std::string_view(scenario.name) == "fullDuplex") {
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
} // namespace
} // namespace veltrano
