// SPDX-License-Identifier: MIT
// A reader thread in readSamples while a controller thread hops, restarts and
// stops the stream: the way a scanning client drives a bladeRF. Run under
// ThreadSanitizer in CI; the simulator journals any library receive call that
// overlaps a retune call.
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

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

    test::BackgroundReader reader(device);

    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            // A restart while the reader may be converting out of the staging buffer.
            device.stopRx();
            ASSERT_TRUE(device.startRx());
        }
        reader.waitForSamples();
        for (int hop = 0; hop < 20; ++hop) {
            EXPECT_TRUE(device.setRxFrequency(hops[static_cast<std::size_t>(hop) % hops.size()]));
        }
    }
    reader.finish();

    EXPECT_EQ(device.fastRxRetuneCount(), 20u); // counted since the last start
    EXPECT_GT(reader.delivered(), 0u);
    EXPECT_THAT(bladeRf().calls("overlap"), IsEmpty());
}

} // namespace
} // namespace veltrano
