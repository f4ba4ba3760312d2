// SPDX-License-Identifier: MIT
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <algorithm>
#include <thread>

namespace veltrano {
namespace {

class HackRfStress : public test::HackRfStreamTest {};

// The free-running simulator numbers every 4-byte word of its stream; two
// samples carry one word.
std::uint32_t wordAt(const std::complex<float>* samples)
{
    const auto byte = [](float value) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(static_cast<std::int8_t>(value * 128.0F)));
    };
    return byte(samples[0].real()) | byte(samples[0].imag()) << 8 | byte(samples[1].real()) << 16 |
           byte(samples[1].imag()) << 24;
}

TEST_F(HackRfStress, aReaderSeesEveryWordOnceAndInOrderWhileAnotherThreadRetunesAndRestarts)
{
    openBoard("rx-free-run 65536\n");
    startReceiving();

    std::atomic<bool> controllerDone{false};
    std::uint64_t wordsSeen = 0;
    std::uint64_t disorder = 0;
    std::uint64_t oddReads = 0;
    std::thread reader([&] {
        std::vector<std::complex<float>> samples(8192);
        std::int64_t previous = -1;
        while (!controllerDone.load()) {
            const std::size_t count = device().readSamples(samples.data(), samples.size());
            oddReads += count % 2;
            for (std::size_t index = 0; index + 1 < count; index += 2) {
                const std::int64_t word = wordAt(&samples[index]);
                disorder += word <= previous ? 1 : 0;
                previous = word;
                ++wordsSeen;
            }
        }
    });
    std::thread controller([&] {
        for (int round = 0; round < 400; ++round) {
            EXPECT_TRUE(device().setRxFrequency(100e6 + (round % 7) * 1e6));
            if (round % 40 == 39) {
                device().stopRx();
                EXPECT_TRUE(device().startRx());
            }
            std::this_thread::yield();
        }
        controllerDone.store(true);
    });
    controller.join();
    reader.join();

    EXPECT_EQ(disorder, 0u);
    EXPECT_EQ(oddReads, 0u);
    EXPECT_GT(wordsSeen, 0u);
}

// Sample k of the transmit signal: never (0, 0), which is what silence sends.
std::complex<float> transmitSample(std::size_t k)
{
    return {static_cast<float>(1 + k % 126) / 127.0F, -static_cast<float>(1 + k / 126 % 126) / 127.0F};
}

TEST_F(HackRfStress, everyWrittenSampleLeavesOnceAndInOrderWhileTheTransferThreadPulls)
{
    openBoard("tx-free-run 65536\n");
    ASSERT_TRUE(device().configureTx({433.92e6, 10e6, 1.75e6, 20.0}));
    ASSERT_TRUE(device().startTx());

    constexpr std::size_t kTotal = 1'500'000;
    std::thread writer([&] {
        std::vector<std::complex<float>> chunk;
        for (std::size_t next = 0; next < kTotal;) {
            chunk.clear();
            for (std::size_t k = next; k < std::min(kTotal, next + 1 + next % 9000); ++k) {
                chunk.push_back(transmitSample(k));
            }
            next += device().writeSamples(chunk.data(), chunk.size());
        }
    });
    // Take what the board sent, dropping the silence, until every sample is back.
    std::vector<std::int8_t> received;
    std::vector<unsigned char> sent(1 << 20);
    while (received.size() < 2 * kTotal) {
        const std::size_t count = sim().takeSent(sent.data(), sent.size());
        for (std::size_t index = 0; index + 1 < count; index += 2) {
            if (sent[index] != 0 || sent[index + 1] != 0) {
                received.push_back(static_cast<std::int8_t>(sent[index]));
                received.push_back(static_cast<std::int8_t>(sent[index + 1]));
            }
        }
        std::this_thread::yield();
    }
    writer.join();
    device().stopTx();

    ASSERT_EQ(received.size(), 2 * kTotal);
    std::size_t misplaced = 0;
    for (std::size_t k = 0; k < kTotal; ++k) {
        const std::complex<float> expected = transmitSample(k) * 127.0F;
        misplaced +=
            received[2 * k] != std::lround(expected.real()) || received[2 * k + 1] != std::lround(expected.imag());
    }
    EXPECT_EQ(misplaced, 0u);
}

} // namespace
} // namespace veltrano
