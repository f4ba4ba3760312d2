// SPDX-License-Identifier: MIT
// A reader thread in readSamples while a controller thread hops, changes
// every setting, restarts and stops the stream: the way a scanning client
// drives a bladeRF. Run under ThreadSanitizer in CI; the simulator journals
// any library receive call that overlaps a control call.
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <thread>

namespace veltrano {
namespace {

using ::testing::IsEmpty;

class BladeRfConcurrency : public test::BladeRfStreaming {};

TEST_F(BladeRfConcurrency, readerKeepsReadingWhileTheControllerHopsChangesEverySettingRestartsAndStops)
{
    // Each library read takes a while, as on a board, so control calls arrive
    // mid-read; the scene reads the stages' gains on every read.
    const std::vector<double> hops{100e6, 200e6, 300e6, 400e6};
    BladeRfSdrDevice& device = streamWithHops(hops, "rx-pace-us 100\nscene-noise -30\n");

    // Reads until asked to stop; stopping the stream then wakes a read in progress.
    std::atomic<std::uint64_t> delivered{0};
    std::jthread reader([&device, &delivered](const std::stop_token& stop) {
        std::vector<std::complex<float>> samples(5000);
        while (!stop.stop_requested()) {
            delivered += device.readSamples(samples.data(), samples.size());
            std::this_thread::yield(); // between a stop and a start, reads return at once
        }
    });
    for (int round = 0; round < 50; ++round) {
        if (round % 5 == 4) {
            // A restart while the reader may be converting out of the staging buffer.
            device.stopRx();
            ASSERT_TRUE(device.startRx());
        }
        // The reader gets samples between the changes, not only before or after
        // them. Polled for up to 10 s: a wait for progress, not a race.
        const std::uint64_t before = delivered.load();
        for (int poll = 0; poll < 10000 && delivered.load() == before; ++poll) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_GT(delivered.load(), before);
        for (int hop = 0; hop < 20; ++hop) {
            EXPECT_TRUE(device.setRxFrequency(hops[static_cast<std::size_t>(hop) % hops.size()]));
        }
        EXPECT_TRUE(device.setGain(StreamDirection::rx, round % 40));
        EXPECT_TRUE(device.setBandwidth(StreamDirection::rx, 1e6 + round));
        EXPECT_TRUE(device.setSampleRate(StreamDirection::rx, 2e6 + round));
        EXPECT_TRUE(device.setBiasTee(StreamDirection::rx, round % 2 == 0));
        EXPECT_TRUE(device.setAutomaticGain(StreamDirection::rx, round % 2 == 0));
        EXPECT_EQ(device.gainStages(StreamDirection::rx).size(), 1u);
        EXPECT_EQ(device.biasTee(StreamDirection::rx), round % 2 == 0);
        // A burst, so that some change meets a read the reader just began.
        for (int burst = 0; burst < 40; ++burst) {
            EXPECT_TRUE(device.setGainStage(StreamDirection::rx, "full", burst));
        }
    }
    reader.request_stop();
    device.stopRx();
    reader.join(); // a reader stuck after the stop would hang here until the test's time-out

    EXPECT_EQ(device.fastRxRetuneCount(), 20u); // counted since the last start
    EXPECT_THAT(bladeRf().calls("overlap"), IsEmpty());
}

} // namespace
} // namespace veltrano
