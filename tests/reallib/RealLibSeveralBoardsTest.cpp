// SPDX-License-Identifier: MIT
// Two HackRF Ones and a bladeRF x40 on one emulated bus (usb-several) stream
// at once through Debian's real libraries: through the device layer, each
// board from a thread of its own (also while one of them is unplugged), and
// through the SoapySDR module in the same way. Each board's receive pattern
// names the position of every sample in its own stream, so a reader that
// lost, repeated or took another board's samples sees a break.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/reallib/RealLibHackRf.h"

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
#include "tests/soapy/SoapyFixture.h"

#include <SoapySDR/Errors.hpp>
#endif

#include <gmock/gmock.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

struct Board {
    const char* serial;
    bool hackRf;
    // Rates of their own, low enough for three readers on a busy two-core machine.
    StreamConfig config;
    // The words that end its stream when it leaves the bus.
    const char* unpluggedError;
};

const Board kBoards[] = {
    {test::kEmulatedSerial, true, {100e6, 2e6, 1.75e6, 20.0}, "RX stream stopped: streaming stopped"},
    {"00000000000000002b6e2e5f457863c8", true, {100e6, 2.5e6, 1.75e6, 20.0}, "RX stream stopped: streaming stopped"},
    {test::kEmulatedBladeRfSerial, false, {915e6, 2e6, 0.0, 20.0}, "RX stream stopped: No devices available"},
};
constexpr std::size_t kBoardCount = std::size(kBoards);
// About two seconds of each stream.
constexpr std::uint64_t kSamples = 4'000'000;
// Straddles every buffer and ring end, and leaves a HackRF read half a pattern step.
constexpr std::size_t kOddReadSize = 50'001;

// One board's receive stream as its reader thread sees it, whatever carries
// it (the device layer or the module).
struct BoardStream {
    NativeSampleFormat format;
    // Samples each read asks for.
    std::size_t readSize;
    // Reads up to count native samples; how many came. Waits a little when none are there.
    std::function<std::size_t(void*, std::size_t)> read;
    // Losses the stream counted, and its end in words ("" while it runs).
    std::function<std::uint64_t()> losses;
    std::function<std::string()> error;

    sim::usb::PatternFollower follower{format == NativeSampleFormat::cs8 ? sim::usb::ReceivePattern::hackRf
                                                                         : sim::usb::ReceivePattern::bladeRf};

    std::uint64_t samples() const { return follower.steps() * 4 / nativeSampleBytes(format); }

    // Reads until done() holds; false when the stream ended first (or a
    // minute went by, which only a stuck stream takes).
    bool readUntil(const std::function<bool()>& done)
    {
        std::vector<std::uint8_t> buffer(readSize * nativeSampleBytes(format));
        const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!done()) {
            const std::size_t count = read(buffer.data(), readSize);
            follower.take(buffer.data(), count * nativeSampleBytes(format));
            if ((count == 0 && !error().empty()) || std::chrono::steady_clock::now() > giveUpAt) {
                return false;
            }
        }
        return true;
    }
    bool readMore(std::uint64_t count)
    {
        const std::uint64_t until = samples() + count;
        return readUntil([&] { return samples() >= until; });
    }
};

#ifdef VELTRANO_SANITIZED
// An instrumented reader may fall behind: its losses are then only counted,
// and a stream may break only where its losses were.
constexpr bool kReadersMayFallBehind = true;
#else
constexpr bool kReadersMayFallBehind = false;
#endif

// The journal line of the request that sets a HackRF's rate: the rate in Hz
// and the divider 1, little-endian.
std::string sampleRateRequest(double rateHz)
{
    const auto hz = static_cast<std::uint32_t>(rateHz);
    char data[17];
    std::snprintf(data, sizeof data, "%02x%02x%02x%02x01000000", hz & 255u, hz >> 8 & 255u, hz >> 16 & 255u, hz >> 24);
    return std::string("control out 6 value=0 index=0 length=8 data=") + data;
}

// Samples the board with this serial delivered on the bus.
std::uint64_t deliveredBy(const Board& board)
{
    return board.hackRf ? veltrano_usb_hackrf_rx_bytes_delivered(board.serial) / 2
                        : veltrano_usb_bladerf_rx_samples_delivered(board.serial);
}

class SeveralBoards : public test::RealLibBladeRf {
protected:
    void SetUp() override
    {
        test::RealLibBladeRf::SetUp();
        if (!IsSkipped() && !std::filesystem::exists(test::kRealLibHackRf)) {
            GTEST_SKIP() << "Debian's libhackrf0 is not installed";
        }
    }

    void TearDown() override
    {
        test::RealLibBladeRf::TearDown();
        EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
        EXPECT_EQ(veltrano_usb_hackrf_transfers_allocated(), 0);
        EXPECT_EQ(veltrano_usb_hackrf_open_handles(), 0);
    }

    // Runs each board's part on a thread of its own, all at once, and
    // meanwhile the conductor's part on this one.
    void eachOnItsOwnThread(const std::function<void(std::size_t)>& part, const std::function<void()>& conductor = {})
    {
        std::vector<std::thread> threads;
        for (std::size_t k = 0; k < kBoardCount; ++k) {
            threads.emplace_back(part, k);
        }
        if (conductor) {
            conductor();
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

    void expectWhole(std::size_t k) const
    {
        // Contiguous, or, where the reader may fall behind, broken only once losses were counted.
        const BoardStream& stream = streams_[k];
        const std::uint64_t breaks = stream.follower.breaks();
        const std::uint64_t losses = stream.losses();
        EXPECT_TRUE(kReadersMayFallBehind ? breaks == 0 || losses > 0 : breaks == 0 && losses == 0)
            << breaks << " breaks, " << losses << " losses";
        // Read from the board of its own serial, not from another on the bus.
        EXPECT_GE(deliveredBy(kBoards[k]), stream.samples());
    }

    std::vector<std::unique_ptr<ISdrDevice>> devices_;
    std::vector<BoardStream> streams_;
    // Each HackRF's own journal (the bus opens them when the process first uses it).
    const std::filesystem::path journals_[2] = {capture().parent_path() / "hackrf.txt",
                                                capture().parent_path() / "hackrf2.txt"};

    // Opens one board, and its stream as its reader sees it: through the
    // interface only, its losses those the board's counters say.
    template <typename Device>
    void open(const char* serial)
    {
        ISdrDevice& device = *devices_.emplace_back(std::make_unique<Device>(serial));
        // The bladeRF backend drops the surplus of a read that is not a whole
        // number of its 1024-sample library reads: three of its largest.
        const bool hackRf = device.nativeSampleFormat() == NativeSampleFormat::cs8;
        streams_.push_back(
            {device.nativeSampleFormat(), hackRf ? kOddReadSize : 3 * 16'384,
             [&device](void* samples, std::size_t count) { return device.readNativeSamples(samples, count); },
             [&device] {
                 const StreamLosses losses = device.streamLosses();
                 return losses.rxOverruns + losses.rxDroppedBytes;
             },
             [&device] { return device.lastError(); }});
    }

private:
    test::ScopedEnvironment hackRfLibrary_{"BROMELT_HACKRF_LIBRARY", test::kRealLibHackRf.string()};
    test::ScopedEnvironment firstJournal_{"VELTRANO_USB_HACKRF_JOURNAL", journals_[0].string()};
    test::ScopedEnvironment secondJournal_{"VELTRANO_USB_HACKRF2_JOURNAL", journals_[1].string()};
};

class SeveralBoardsUnplug : public SeveralBoards, public ::testing::WithParamInterface<std::size_t> {};

// The three stream at once, each from its own thread, each stream whole;
// the unplugged board's ends with words while the other two go on through
// its end and after.
TEST_P(SeveralBoardsUnplug, endsThatBoardsStreamWithWordsWhileTheOtherTwoGoOn)
{
    const std::size_t victim = GetParam();
    for (const Board& board : kBoards) {
        board.hackRf ? open<HackRfSdrDevice>(board.serial) : open<BladeRfSdrDevice>(board.serial);
    }
    std::atomic<std::size_t> readBefore{0};
    std::string endedWith[kBoardCount];
    std::atomic<bool> victimEnded{false};
    bool asExpected[kBoardCount] = {};
    eachOnItsOwnThread(
        [&](std::size_t k) {
            ISdrDevice& device = *devices_[k];
            BoardStream& stream = streams_[k];
            const bool started = device.configureRx(kBoards[k].config) && device.startRx();
            const bool before = started && stream.readMore(kSamples / 4);
            ++readBefore;
            if (k == victim) {
                // It reads until its stream ends.
                asExpected[k] = before && !stream.readUntil([] { return false; });
                victimEnded = true;
            } else {
                asExpected[k] =
                    before && stream.readUntil([&] { return victimEnded.load(); }) && stream.readMore(kSamples / 4);
            }
            endedWith[k] = device.streamEnded(StreamDirection::rx);
            device.stopRx();
        },
        [&] {
            EXPECT_TRUE(test::eventually([&] { return readBefore.load() == kBoardCount; }));
            (kBoards[victim].hackRf ? veltrano_usb_hackrf_unplug : veltrano_usb_bladerf_unplug)(kBoards[victim].serial);
        });
    for (std::size_t k = 0; k < kBoardCount; ++k) {
        SCOPED_TRACE(kBoards[k].serial);
        EXPECT_TRUE(asExpected[k]) << devices_[k]->lastError();
        EXPECT_EQ(devices_[k]->lastError(), k == victim ? kBoards[k].unpluggedError : "");
        EXPECT_EQ(endedWith[k], k == victim ? kBoards[k].unpluggedError : "");
        EXPECT_EQ(devices_[k]->streamEnded(StreamDirection::rx), ""); // after the caller's stop
        expectWhole(k);
    }
    devices_.clear();
    // Each HackRF was set to its own rate, and its journal tells only of it.
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_THAT(test::readLines(journals_[k]),
                    testing::Contains(sampleRateRequest(kBoards[k].config.sampleRateHz)));
        EXPECT_THAT(test::readLines(journals_[k]),
                    testing::Not(testing::Contains(sampleRateRequest(kBoards[1 - k].config.sampleRateHz))));
    }
}

INSTANTIATE_TEST_SUITE_P(TheSecondHackRfOrTheBladeRf, SeveralBoardsUnplug, ::testing::Values(1u, 2u));

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
// The module lists the three boards, opens each by its serial and streams
// them at once, each read from a thread of its own, in its native format.
TEST_F(SeveralBoards, theModuleFindsTheThreeBoardsAndStreamsThemAtOnce)
{
    const test::OnlyOurSoapyModule onlyOurs;
    std::vector<std::string> found, expected;
    for (const SoapySDR::Kwargs& board : SoapySDR::Device::enumerate("driver=veltrano")) {
        found.push_back(board.at("family") + " " + board.at("serial"));
    }
    std::vector<test::SoapyDevicePointer> devices;
    std::vector<SoapySDR::Stream*> handles;
    for (const Board& board : kBoards) {
        expected.push_back((board.hackRf ? "hackrf " : "bladerf ") + std::string(board.serial));
        auto& device =
            devices.emplace_back(SoapySDR::Device::make(std::string("driver=veltrano,serial=") + board.serial));
        device->setSampleRate(SOAPY_SDR_RX, 0, board.config.sampleRateHz);
        double fullScale = 0.0;
        handles.push_back(device->setupStream(SOAPY_SDR_RX, device->getNativeStreamFormat(SOAPY_SDR_RX, 0, fullScale)));
        auto overflows = std::make_shared<std::uint64_t>(0);
        auto failure = std::make_shared<std::string>();
        streams_.push_back(
            {board.hackRf ? NativeSampleFormat::cs8 : NativeSampleFormat::sc16Q11, kOddReadSize,
             [&device = *device, handle = handles.back(), overflows, failure](void* samples, std::size_t count) {
                 void* buffers[] = {samples};
                 int flags = 0;
                 long long timeNs = 0;
                 const int result = device.readStream(handle, buffers, count, flags, timeNs, 100'000);
                 if (result == SOAPY_SDR_OVERFLOW) {
                     ++*overflows;
                 } else if (result < 0 && result != SOAPY_SDR_TIMEOUT) {
                     *failure = SoapySDR::errToStr(result);
                 }
                 return static_cast<std::size_t>(std::max(result, 0));
             },
             [overflows] { return *overflows; }, [failure] { return *failure; }});
    }
    EXPECT_THAT(found, testing::UnorderedElementsAreArray(expected));
    bool read[kBoardCount] = {};
    eachOnItsOwnThread([&](std::size_t k) {
        read[k] = devices[k]->activateStream(handles[k]) == 0 && streams_[k].readMore(kSamples);
        devices[k]->deactivateStream(handles[k]);
        devices[k]->closeStream(handles[k]);
    });
    for (std::size_t k = 0; k < kBoardCount; ++k) {
        SCOPED_TRACE(kBoards[k].serial);
        EXPECT_TRUE(read[k]) << streams_[k].error();
        expectWhole(k);
    }
}
#endif

} // namespace
} // namespace veltrano
