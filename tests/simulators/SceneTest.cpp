// SPDX-License-Identifier: MIT
// The simulated HackRF's native sweep hears the radio scene: each carrier in
// the blocks whose valid ranges contain it, at its power plus the gain. (What
// ordinary reception hears, and a retune's move of it, is the SoapySDR
// module's stream test, through the device layer of both boards.)
#include "tests/simulators/SceneExpectations.h"

#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/Eventually.h"
#include "tests/support/SimulationFixture.h"

#include <map>

namespace veltrano {
namespace {

using test::kSceneGainDb;

class SimulatedScene : public test::Simulation {};

TEST_F(SimulatedScene, aNativeSweepShowsEachCarrierInTheBlocksWhoseValidRangesHoldIt)
{
    // Steps of 20 MHz from 88 MHz, interleaved (each followed by one 5 MHz
    // above), each block centred 7.5 MHz above its step: every carrier lies a
    // whole number of 39,062.5 Hz bins from a centre. Twelve blocks: the six
    // steps twice.
    const std::vector<test::ExpectedCarrier> carriers{
        {90.5e6, -40.0, 0.0, ""}, {100.5e6, -35.0, 0.0, ""}, {121.75e6, -45.0, 0.0, ""}, {130.5e6, -38.0, 0.0, ""}};
    simulateHackRf("board A\nrx-paced\n" + test::sceneScript(carriers));
    HackRfSdrDevice device("A");
    ASSERT_TRUE(device.configureNativeSweep({100e6, 20e6, 0.0, kSceneGainDb}, 88e6, 148e6));
    ASSERT_TRUE(device.startNativeSweep());
    std::map<double, int> found;
    int blocks = 0;
    for (NativeSweepBlock block; blocks < 12 && test::eventually([&] { return device.readNativeSweepBlock(block); });
         ++blocks) {
        for (const test::ExpectedCarrier& carrier : carriers) {
            for (const FrequencyRangeHz& range : block.validRanges) {
                if (carrier.frequencyHz >= range.minimumHz && carrier.frequencyHz <= range.maximumHz) {
                    SCOPED_TRACE(std::to_string(carrier.frequencyHz) + " Hz in the block at " +
                                 std::to_string(block.centerFrequencyHz) + " Hz");
                    EXPECT_NEAR(test::binPowerDbfs(block.samples, carrier.frequencyHz - block.centerFrequencyHz,
                                                   block.sampleRateHz),
                                carrier.powerDbfs + kSceneGainDb, 1.0);
                    ++found[carrier.frequencyHz];
                }
            }
        }
    }
    device.stopRx();
    EXPECT_EQ(blocks, 12);
    for (const test::ExpectedCarrier& carrier : carriers) {
        EXPECT_GE(found[carrier.frequencyHz], 2) << carrier.frequencyHz;
    }
}

} // namespace
} // namespace veltrano
