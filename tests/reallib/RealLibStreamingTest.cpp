// SPDX-License-Identifier: MIT
// Receive, retune, native sweep and transmit through the real library: what
// the emulated board sends arrives unchanged, and what the device queues
// reaches the board byte for byte.
#include "tests/reallib/RealLibHackRf.h"

#include "device/hackrf/HackRfSdrDevice.h"

#include <gmock/gmock.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

using test::kEmulatedSerial;
using Clock = std::chrono::steady_clock;

// The emulated board's receive pattern (see simulators/README.md).
std::uint8_t patternByte(std::uint64_t position)
{
    return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}

// Polls until the condition holds; false after a generous time-out.
bool eventually(const std::function<bool()>& condition)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Reads samples until `bytes` stream bytes have arrived, as the signed bytes the board sent.
std::vector<std::uint8_t> receiveBytes(HackRfSdrDevice& device, std::size_t bytes)
{
    std::vector<std::uint8_t> received;
    std::vector<std::complex<float>> samples(65536);
    eventually([&] {
        const std::size_t count =
            device.readSamples(samples.data(), std::min(samples.size(), (bytes - received.size()) / 2));
        for (std::size_t i = 0; i < count; ++i) {
            received.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(samples[i].real() * 128.0f)));
            received.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(samples[i].imag() * 128.0f)));
        }
        return received.size() >= bytes;
    });
    return received;
}

// Where the pattern bytes start in the stream, checking that every byte follows on.
std::optional<std::uint64_t> streamPositionOf(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    const std::uint64_t position = 4 * (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint64_t{bytes[3]} << 24);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != patternByte(position + i)) {
            return std::nullopt;
        }
    }
    return position;
}

class RealLibStreaming : public test::RealLibHackRf {};

TEST_F(RealLibStreaming, receiveDeliversTheBoardsStreamAndARetuneDiscardsWhatCameBefore)
{
    HackRfSdrDevice device(kEmulatedSerial);
    ASSERT_TRUE(device.configureRx({100e6, 2e6, 1.75e6, 20.0})) << device.lastError();
    ASSERT_TRUE(device.startRx()) << device.lastError();

    EXPECT_EQ(streamPositionOf(receiveBytes(device, 1'000'000)), 0u);

    ASSERT_TRUE(device.setRxFrequency(101e6)) << device.lastError();
    const std::uint64_t retunedAt = veltrano_usb_hackrf_rx_position_at_last_tune();
    const std::optional<std::uint64_t> resumedAt = streamPositionOf(receiveBytes(device, 100'000));
    ASSERT_TRUE(resumedAt.has_value());
    // The discard counts 1,310,720 bytes from the ring's clear. Bytes the board
    // sent before the retune but still in libhackrf's four 256 KiB transfers
    // arrive after the clear and count towards it, so the stream resumes within
    // those four transfers either side of retune + 1,310,720; being fewer than
    // the discard, none of the old bytes ever reaches the client.
    constexpr std::uint64_t inFlight = 4 * 262'144;
    EXPECT_GE(*resumedAt, retunedAt + 1'310'720 - inFlight);
    EXPECT_LE(*resumedAt, retunedAt + 1'310'720 + inFlight);
    EXPECT_EQ(device.rxDroppedBytes(), 0u);
    device.stopRx();
}

TEST_F(RealLibStreaming, aNativeSweepDeliversTheProgrammedStepsWithTheirUsableRanges)
{
    HackRfSdrDevice device(kEmulatedSerial);
    ASSERT_TRUE(device.configureNativeSweep({98e6, 20e6, 15e6, 20.0}, 88e6, 108e6)) << device.lastError();
    ASSERT_TRUE(device.startNativeSweep()) << device.lastError();

    // 88 to 108 MHz in 20 MHz steps, interleaved: steps at 88 and 93 MHz, each
    // usable in its first and third quarter.
    const std::vector<FrequencyRangeHz> firstStep{{88e6, 93e6}, {98e6, 103e6}};
    const std::vector<FrequencyRangeHz> secondStep{{93e6, 98e6}, {103e6, 108e6}};
    for (int i = 0; i < 6; ++i) {
        NativeSweepBlock block;
        ASSERT_TRUE(eventually([&] { return device.readNativeSweepBlock(block); })) << device.lastError();
        const bool first = i % 2 == 0;
        EXPECT_EQ(block.centerFrequencyHz, (first ? 88e6 : 93e6) + 7.5e6);
        EXPECT_EQ(block.sampleRateHz, 20e6);
        EXPECT_EQ(block.sweepStart, first);
        EXPECT_EQ(block.samples.size(), 512u);
        ASSERT_EQ(block.validRanges.size(), 2u);
        for (std::size_t r = 0; r < 2; ++r) {
            EXPECT_EQ(block.validRanges[r].minimumHz, (first ? firstStep : secondStep)[r].minimumHz);
            EXPECT_EQ(block.validRanges[r].maximumHz, (first ? firstStep : secondStep)[r].maximumHz);
        }
    }
    device.stopRx();
}

// Every non-zero byte value in turn, from an offset: the board's record then
// shows exactly where a burst begins and ends.
std::vector<std::complex<float>> markedSamples(std::size_t count, std::size_t offset)
{
    const auto level = [](std::size_t k) {
        const int value = static_cast<int>(k % 254);
        return static_cast<float>(value < 127 ? value - 127 : value - 126) / 127.0f;
    };
    std::vector<std::complex<float>> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = {level(offset + 2 * i), level(offset + 2 * i + 1)};
    }
    return samples;
}

std::vector<std::uint8_t> bytesOf(const std::vector<std::complex<float>>& samples)
{
    std::vector<std::uint8_t> bytes;
    for (const std::complex<float>& sample : samples) {
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(std::lround(sample.real() * 127.0f))));
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(std::lround(sample.imag() * 127.0f))));
    }
    return bytes;
}

void writeAll(HackRfSdrDevice& device, const std::vector<std::complex<float>>& samples)
{
    std::size_t written = 0;
    ASSERT_TRUE(eventually([&] {
        written += device.writeSamples(samples.data() + written, samples.size() - written);
        return written == samples.size();
    }));
}

std::vector<std::uint8_t> transmittedByBoard()
{
    std::vector<std::uint8_t> bytes(veltrano_usb_hackrf_tx_bytes());
    bytes.resize(veltrano_usb_hackrf_tx_copy(bytes.data(), 0, bytes.size()));
    return bytes;
}

TEST_F(RealLibStreaming, transmitSendsWhatWasQueuedWithSilenceBetweenAndDrainsThroughTheFlush)
{
    HackRfSdrDevice device(kEmulatedSerial);
    ASSERT_TRUE(device.configureTx({100e6, 2e6, 1.75e6, 0.0})) << device.lastError();
    ASSERT_TRUE(device.startTx()) << device.lastError();
    ASSERT_TRUE(eventually([] { return veltrano_usb_hackrf_tx_bytes() > 0; }));

    const std::vector<std::complex<float>> first = markedSamples(100'000, 0);
    const std::vector<std::complex<float>> second = markedSamples(50'000, 77);
    writeAll(device, first);
    // Let the ring run dry, so silence follows the first burst.
    const std::uint64_t underrunBefore = device.txUnderrunBytes();
    ASSERT_TRUE(eventually([&] { return device.txUnderrunBytes() > underrunBefore + 262'144; }));
    writeAll(device, second);
    EXPECT_TRUE(device.drainTx({})) << device.lastError();
    device.stopTx();

    const std::vector<std::uint8_t> sent = transmittedByBoard();
    const std::vector<std::uint8_t> firstBytes = bytesOf(first);
    const std::vector<std::uint8_t> secondBytes = bytesOf(second);
    auto at = std::find_if(sent.begin(), sent.end(), [](std::uint8_t byte) { return byte != 0; });
    ASSERT_GE(sent.end() - at, static_cast<std::ptrdiff_t>(firstBytes.size()));
    EXPECT_TRUE(std::equal(firstBytes.begin(), firstBytes.end(), at));
    at = std::find_if(at + static_cast<std::ptrdiff_t>(firstBytes.size()), sent.end(),
                      [](std::uint8_t byte) { return byte != 0; });
    ASSERT_GE(sent.end() - at, static_cast<std::ptrdiff_t>(secondBytes.size()));
    EXPECT_TRUE(std::equal(secondBytes.begin(), secondBytes.end(), at));
    EXPECT_TRUE(std::all_of(at + static_cast<std::ptrdiff_t>(secondBytes.size()), sent.end(),
                            [](std::uint8_t byte) { return byte == 0; }));
}

} // namespace
} // namespace veltrano
