// SPDX-License-Identifier: MIT
// Native and float reads and writes share the rings; native ones let the
// stream's bytes be checked as they are.
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace veltrano {
namespace {

class HackRfStress : public test::HackRfStreamTest {};

// The free-running simulator numbers every 4-byte word of its stream
// (little-endian); two samples carry one word.
// The controller also changes gains, rate and filter live, as an AGC loop or
// a GUI would, while libhackrf's thread delivers and the reader reads.
TEST_F(HackRfStress, aReaderSeesEveryWordOnceAndInOrderWhileAnotherThreadRetunesChangesSettingsAndRestarts)
{
    openBoard("rx-free-run 65536\n");
    startReceiving();

    std::atomic<bool> controllerDone{false};
    std::uint64_t wordsSeen = 0;
    std::uint64_t disorder = 0;
    std::uint64_t oddReads = 0;
    std::thread reader([&] {
        std::vector<std::uint32_t> words(4096);
        std::int64_t previous = -1;
        while (!controllerDone.load()) {
            const std::size_t count = device().readNativeSamples(words.data(), 2 * words.size());
            oddReads += count % 2;
            for (std::size_t index = 0; index < count / 2; ++index) {
                disorder += words[index] <= previous ? 1 : 0;
                previous = words[index];
                ++wordsSeen;
            }
        }
    });
    std::thread controller([&] {
        for (int round = 0; round < 400; ++round) {
            EXPECT_TRUE(device().setRxFrequency(100e6 + (round % 7) * 1e6));
            EXPECT_TRUE(device().setGainStage(StreamDirection::rx, "LNA", 8.0 * (round % 6)));
            EXPECT_TRUE(device().setGain(StreamDirection::rx, round % 103));
            EXPECT_TRUE(device().setBandwidth(StreamDirection::rx, 1.75e6 + (round % 11) * 2e6));
            if (round % 10 == 5) {
                EXPECT_TRUE(device().setSampleRate(StreamDirection::rx, round % 20 == 5 ? 8e6 : 10e6));
            }
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

TEST_F(HackRfStress, everyWrittenSampleLeavesOnceAndInOrderWhileTheTransferThreadPulls)
{
    openBoard("tx-free-run 65536\n");
    ASSERT_TRUE(device().configureTx({433.92e6, 10e6, 1.75e6, 20.0}));
    ASSERT_TRUE(device().startTx());

    // Byte p of the stream is 1 + p % 251: never 0, which is what silence sends.
    constexpr std::size_t kTotal = 1'500'000;
    std::vector<std::int8_t> written(2 * kTotal);
    for (std::size_t position = 0; position < written.size(); ++position) {
        written[position] = static_cast<std::int8_t>(1 + position % 251);
    }
    std::thread writer([&] {
        for (std::size_t next = 0; next < kTotal;) {
            next += device().writeNativeSamples(&written[2 * next], std::min(kTotal - next, 1 + next % 9000));
        }
    });
    // Take what the board sent, dropping the silence, until every sample is back.
    std::vector<std::int8_t> received;
    std::vector<unsigned char> sent(1 << 20);
    while (received.size() < written.size()) {
        const std::size_t count = sim().takeSent(sent.data(), sent.size());
        for (std::size_t index = 0; index + 1 < count; index += 2) {
            if (sent[index] != 0 || sent[index + 1] != 0) {
                received.insert(received.end(),
                                {static_cast<std::int8_t>(sent[index]), static_cast<std::int8_t>(sent[index + 1])});
            }
        }
        std::this_thread::yield();
    }
    writer.join();
    device().stopTx();
    EXPECT_TRUE(received == written);
}

} // namespace
} // namespace veltrano
