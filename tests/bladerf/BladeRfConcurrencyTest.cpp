// SPDX-License-Identifier: MIT
// A reader thread in readSamples while a controller thread hops, restarts and
// stops the stream: the way a scanning client drives a bladeRF. Run under
// ThreadSanitizer in CI; the simulator journals any library receive call that
// overlaps a retune call.
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace veltrano {
namespace {

using ::testing::IsEmpty;

class BladeRfConcurrency : public test::BladeRfStreaming {};

TEST_F(BladeRfConcurrency, readerKeepsReadingWhileTheControllerHopsRestartsAndStops)
{
    // Each library read takes a while, as on a board, so retunes arrive mid-read.
    BladeRfSdrDevice& device = openConfigured("rx-pace-us 100\n");
    const std::vector<double> hops{100e6, 200e6, 300e6, 400e6};
    ASSERT_TRUE(device.prepareRxFrequencies(hops));
    ASSERT_TRUE(device.startRx());

    std::atomic<bool> finished{false};
    std::atomic<std::uint64_t> delivered{0};
    std::thread reader([&] {
        std::vector<std::complex<float>> samples(5000);
        while (!finished.load()) {
            delivered += device.readSamples(samples.data(), samples.size());
            std::this_thread::yield(); // between a stop and a start, reads return at once
        }
    });
    const auto waitForSamples = [&] {
        const std::uint64_t before = delivered.load();
        for (int poll = 0; poll < 10000 && delivered.load() == before; ++poll) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };

    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            // A restart while the reader may be converting out of the staging buffer.
            device.stopRx();
            ASSERT_TRUE(device.startRx());
        }
        waitForSamples();
        for (int hop = 0; hop < 20; ++hop) {
            EXPECT_TRUE(device.setRxFrequency(hops[static_cast<std::size_t>(hop) % hops.size()]));
        }
    }
    finished = true;
    device.stopRx();
    reader.join(); // a reader stuck after the stop would hang here until the test's time-out

    EXPECT_EQ(device.fastRxRetuneCount(), 20u); // counted since the last start
    EXPECT_GT(delivered.load(), 0u);
    EXPECT_THAT(bladeRf().calls("overlap"), IsEmpty());
}

} // namespace
} // namespace veltrano
