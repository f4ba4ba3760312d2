// SPDX-License-Identifier: MIT
// rx-paced: the simulated boards hand out their receive streams at the
// configured sample rate in wall-clock time. A paced stream can never deliver
// faster than its rate, so the time to read N samples is at least N / rate
// (a bound no load on the machine can break); how close it comes to the rate
// is measured by bench/SceneBench.cpp, not asserted here.
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <chrono>
#include <complex>
#include <memory>
#include <vector>

namespace veltrano {
namespace {

class PacedStream : public test::Simulation {};

TEST_F(PacedStream, receiveTakesAtLeastTheSamplesOverTheConfiguredRate)
{
    // Rates that differ from both boards' defaults, so a stream paced at the
    // wrong rate ends too early.
    constexpr double kRateHz = 2e6;
    constexpr std::size_t kSamples = 600'000; // 0.3 s
    simulateHackRf("board A\nrx-paced\n");
    simulateBladeRf("board serial=A\nrx-paced\n");
    std::unique_ptr<ISdrDevice> devices[] = {std::make_unique<HackRfSdrDevice>("A"),
                                             std::make_unique<BladeRfSdrDevice>("A")};
    for (const auto& device : devices) {
        ASSERT_TRUE(device->configureRx({915e6, kRateHz, 0.0, 20.0}));
        std::vector<std::complex<float>> samples(kSamples);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(device->startRx());
        std::size_t received = 0;
        while (received < kSamples && std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
            received += device->readSamples(samples.data() + received, kSamples - received);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        device->stopRx();
        EXPECT_EQ(received, kSamples);
        EXPECT_GE(elapsed.count(), static_cast<double>(kSamples) / kRateHz);
    }
}

} // namespace
} // namespace veltrano
