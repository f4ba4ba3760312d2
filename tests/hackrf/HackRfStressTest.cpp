// SPDX-License-Identifier: MIT
// Native and float reads and writes share the rings; native ones let the
// stream's bytes be checked as they are.
#include "tests/support/ThroughInterface.h"
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/support/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <complex>
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
    std::atomic<std::uint64_t> wordsSeen{0};
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
            }
            wordsSeen += count / 2;
        }
    });
    std::thread controller([&] {
        // The changes begin once the reader has its first words, so they meet
        // a running reader however the two threads were scheduled.
        EXPECT_TRUE(test::eventually([&] { return wordsSeen.load() > 0; }));
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
}

// Odd sample counts that divide nothing: the ring's end falls inside a call
// more than once, for float and native calls alike, in both directions. Byte
// p of the stream is (p mod 251) - 125, which floats carry exactly both ways.
class HackRfRingEnds : public HackRfStress, public ::testing::WithParamInterface<StreamDirection> {};

TEST_P(HackRfRingEnds, everyByteCrossesOnceAndInOrder)
{
    const bool transmit = GetParam() == StreamDirection::tx;
    transmit ? startTransmitting() : startReceiving();
    const std::size_t sizes[] = {300'007, 123'457, 1'000'003, 77'777};
    std::size_t position = 0;
    for (int round = 0; round < 12; ++round) {
        const bool native = round % 2 == 1;
        const std::size_t samples = sizes[round % 4];
        std::vector<std::int8_t> expected(2 * samples);
        for (std::size_t index = 0; index < expected.size(); ++index) {
            expected[index] = static_cast<std::int8_t>(static_cast<int>((position + index) % 251) - 125);
        }
        std::vector<std::complex<float>> floats(samples);
        for (std::size_t index = 0; index < samples; ++index) {
            floats[index] = {expected[2 * index] / 127.0F, expected[2 * index + 1] / 127.0F};
        }
        std::vector<std::int8_t> crossed(2 * samples);
        if (transmit) {
            ASSERT_EQ(native ? device().writeNativeSamples(expected.data(), samples)
                             : device().writeSamples(floats.data(), samples),
                      samples);
            crossed = pull(static_cast<int>(2 * samples));
        } else {
            ASSERT_EQ(deliver({expected.begin(), expected.end()}), 0);
            if (native) {
                ASSERT_EQ(device().readNativeSamples(crossed.data(), samples), samples);
            } else {
                const std::vector<std::uint8_t> bytes = test::bytesOf(read(samples));
                crossed.assign(bytes.begin(), bytes.end());
            }
        }
        ASSERT_EQ(crossed, expected) << "round " << round;
        position += 2 * samples;
    }
    ASSERT_GT(position, 2 * kRingBytes);
    EXPECT_EQ(transmit ? test::lossesOf(device()).txUnderrunBytes : test::lossesOf(device()).rxDroppedBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Directions, HackRfRingEnds, ::testing::Values(StreamDirection::rx, StreamDirection::tx),
                         [](const auto& info) { return info.param == StreamDirection::tx ? "transmit" : "receive"; });

} // namespace
} // namespace veltrano
