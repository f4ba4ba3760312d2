// SPDX-License-Identifier: MIT
// What the bladeRF streaming tests share: a device opened on the simulated
// library, the configurations they use, and the simulator's receive pattern
// read back from the samples.
#pragma once

#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace veltrano::test {

class BladeRfStreaming : public Simulation {
protected:
    BladeRfSdrDevice& open(const std::string& script = "", const std::string& variant = "sim-bladerf")
    {
        simulateBladeRf("board serial=A" + boardOptions_ + "\n" + script, variant);
        device_ = std::make_unique<BladeRfSdrDevice>("A");
        return *device_;
    }

    BladeRfSdrDevice& openConfigured(const std::string& script = "", const std::string& variant = "sim-bladerf")
    {
        BladeRfSdrDevice& device = open(script, variant);
        EXPECT_TRUE(device.configureRx(config(915e6)));
        return device;
    }

    // Configured at 915 MHz, the hop set prepared, streaming timestamped.
    BladeRfSdrDevice& streamWithHops(const std::vector<double>& hops, const std::string& script = "")
    {
        BladeRfSdrDevice& device = openConfigured(script);
        EXPECT_TRUE(device.prepareRxFrequencies(hops));
        EXPECT_TRUE(device.startRx());
        return device;
    }

    // Configured at 915 MHz and streaming.
    BladeRfSdrDevice& receiving(const std::string& script = "", const std::string& variant = "sim-bladerf")
    {
        BladeRfSdrDevice& device = openConfigured(script, variant);
        EXPECT_TRUE(device.startRx());
        return device;
    }

    BladeRfSdrDevice& transmitting(const std::string& script = "")
    {
        BladeRfSdrDevice& device = open(script);
        EXPECT_TRUE(device.configureTx(config(915e6)));
        EXPECT_TRUE(device.startTx());
        return device;
    }

    static StreamConfig config(double frequencyHz, double sampleRateHz = 2e6, double bandwidthHz = 0.0,
                               double gainDb = 20.0)
    {
        return StreamConfig{frequencyHz, sampleRateHz, bandwidthHz, gainDb};
    }

    // The simulator reads its script and opens its journal once per process,
    // so scenarios that share a process tell their calls apart by position.
    std::size_t journalLength() const { return bladeRf().journal().size(); }

    // Journal lines of the library calls named, in order, from a position on.
    std::vector<std::string> callsOf(const std::vector<std::string>& names, std::size_t from = 0) const
    {
        std::vector<std::string> lines;
        const auto journal = bladeRf().journal();
        for (std::size_t index = from; index < journal.size(); ++index) {
            const std::string& line = journal[index];
            for (const std::string& name : names) {
                if (line.rfind(name + " ", 0) == 0) {
                    lines.push_back(line);
                }
            }
        }
        return lines;
    }

    void close() { device_.reset(); }

    // The board kind open() simulates from now on (a bladeRF 2.0 otherwise).
    void simulateModel(const std::string& model) { boardOptions_ = " model=" + model; }

private:
    std::string boardOptions_;
    std::unique_ptr<BladeRfSdrDevice> device_;
};

// The timestamps a read of count samples delivered: floats through
// readSamples, or the library's own values through readNativeSamples. The
// simulator writes device timestamp t into a sample as I = t mod 4096 - 2048,
// Q = (t / 4096) mod 4096 - 2048, each scaled by 1/2048 on the way out.
inline std::vector<std::uint64_t> timestampsRead(ISdrDevice& device, bool native, std::size_t count)
{
    std::vector<std::int16_t> values(2 * count);
    std::vector<std::complex<float>> samples(native ? 0 : count);
    const std::size_t got =
        native ? device.readNativeSamples(values.data(), count) : device.readSamples(samples.data(), count);
    for (std::size_t index = 0; index < 2 * got && !native; ++index) {
        const float value = index % 2 == 0 ? samples[index / 2].real() : samples[index / 2].imag();
        values[index] = static_cast<std::int16_t>(std::lround(value * 2048.0F));
    }
    std::vector<std::uint64_t> timestamps(got);
    for (std::size_t index = 0; index < got; ++index) {
        timestamps[index] = static_cast<std::uint64_t>(values[2 * index] + 2048) +
                            4096 * static_cast<std::uint64_t>(values[2 * index + 1] + 2048);
    }
    return timestamps;
}

inline std::vector<std::uint64_t> timestampsFrom(std::uint64_t first, std::size_t count)
{
    std::vector<std::uint64_t> timestamps(count);
    std::iota(timestamps.begin(), timestamps.end(), first);
    return timestamps;
}

} // namespace veltrano::test
