// SPDX-License-Identifier: MIT
// The simulated boards hear a radio scene: through the device layer, the
// received spectrum shows each carrier at its offset from the tuned centre and
// at its power plus the gain, and nothing of the carriers outside the band; a
// retune (HackRF's, and bladeRF's quick retune from a prepared frequency)
// moves the scene; a HackRF native sweep shows each carrier in the blocks
// whose valid ranges contain it.
#include "tests/simulators/SceneExpectations.h"

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <chrono>
#include <map>
#include <memory>
#include <thread>

namespace veltrano {
namespace {

using test::kFirstCentreHz;
using test::kSceneGainDb;
using test::kSceneRateHz;
using test::kSceneSamples;
using test::kSecondCentreHz;

class SimulatedScene : public test::Simulation {
protected:
    static std::vector<std::complex<float>> receive(ISdrDevice& device)
    {
        std::vector<std::complex<float>> samples(kSceneSamples);
        std::size_t received = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (received < samples.size() && std::chrono::steady_clock::now() < deadline) {
            received += device.readSamples(samples.data() + received, samples.size() - received);
        }
        samples.resize(received);
        return samples;
    }
};

TEST_F(SimulatedScene, receiversHearTheCarriersInTheirBandAndFollowARetune)
{
    simulateHackRf("board A\nrx-paced\n" + test::sceneScript());
    simulateBladeRf("board serial=A\nrx-paced\n" + test::sceneScript());
    HackRfSdrDevice hackRf("A");
    BladeRfSdrDevice bladeRf("A");
    ISdrDevice* const devices[] = {&hackRf, &bladeRf};
    for (ISdrDevice* device : devices) {
        SCOPED_TRACE(device->info().driver);
        ASSERT_TRUE(device->configureRx({kFirstCentreHz, kSceneRateHz, 0.0, kSceneGainDb}));
        // bladeRF: the second centre is prepared, so its retune is a quick one.
        ASSERT_TRUE(device->prepareRxFrequencies({kFirstCentreHz, kSecondCentreHz}));
        ASSERT_TRUE(device->startRx());
        test::expectSceneAt(receive(*device), kFirstCentreHz);
        ASSERT_TRUE(device->setRxFrequency(kSecondCentreHz));
        test::expectSceneAt(receive(*device), kSecondCentreHz);
        device->stopRx();
    }
    EXPECT_EQ(bladeRf.fastRxRetuneCount(), 1U);
}

TEST_F(SimulatedScene, aNativeSweepShowsEachCarrierInTheBlocksWhoseValidRangesHoldIt)
{
    // Steps of 20 MHz from 88 MHz, each block centred 7.5 MHz above its step:
    // every carrier lies a whole number of 39,062.5 Hz bins from a centre.
    const std::map<double, double> carriers{{90.5e6, -40.0}, {100.5e6, -35.0}, {121.75e6, -45.0}, {130.5e6, -38.0}};
    std::string script = "board A\nrx-paced\nscene-noise -75\n";
    for (const auto& [frequency, power] : carriers) {
        script += "scene-carrier " + std::to_string(static_cast<long long>(frequency)) + " " +
                  std::to_string(static_cast<int>(power)) + "\n";
    }
    simulateHackRf(script);
    HackRfSdrDevice device("A");
    ASSERT_TRUE(device.configureNativeSweep({100e6, 20e6, 0.0, kSceneGainDb}, 88e6, 148e6));
    ASSERT_TRUE(device.startNativeSweep());
    std::map<double, int> found;
    int blocks = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (blocks < 9 && std::chrono::steady_clock::now() < deadline) {
        NativeSweepBlock block;
        if (!device.readNativeSweepBlock(block)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ++blocks;
        for (const auto& [frequency, power] : carriers) {
            for (const FrequencyRangeHz& range : block.validRanges) {
                if (frequency >= range.minimumHz && frequency <= range.maximumHz) {
                    SCOPED_TRACE(std::to_string(frequency) + " Hz in the block at " +
                                 std::to_string(block.centerFrequencyHz) + " Hz");
                    EXPECT_NEAR(test::binPowerDbfs(block.samples, frequency - block.centerFrequencyHz,
                                                   block.sampleRateHz),
                                power + kSceneGainDb, 1.0);
                    ++found[frequency];
                }
            }
        }
    }
    device.stopRx();
    EXPECT_EQ(blocks, 9);
    for (const auto& [frequency, power] : carriers) {
        EXPECT_GE(found[frequency], 2) << frequency;
    }
}

} // namespace
} // namespace veltrano
