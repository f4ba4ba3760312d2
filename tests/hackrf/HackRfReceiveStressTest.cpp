#include "tests/hackrf/HackRfStreamFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace veltrano {
namespace {

class HackRfReceiveStress : public test::HackRfStreamTest {};

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

TEST_F(HackRfReceiveStress, aReaderSeesEveryWordOnceAndInOrderWhileAnotherThreadRetunesAndRestarts)
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

} // namespace
} // namespace veltrano
