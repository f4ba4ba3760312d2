// SPDX-License-Identifier: MIT
#pragma once

#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "simulators/hackrf/library/SimHackRfControl.h"
#include "tests/support/SimulationFixture.h"

#include <algorithm>
#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::test {

// The simulated libhackrf's control entry points, resolved from the module
// the device layer loaded (so they drive the very library under test).
struct HackRfSimulatorControl {
    HackRfSimulatorControl()
    {
        const platform::LibraryHandle module = hackRfApi().module;
        platform::resolveFunction(module, deliver, "veltrano_sim_hackrf_deliver");
        platform::resolveFunction(module, deliverSweep, "veltrano_sim_hackrf_deliver_sweep");
        platform::resolveFunction(module, pull, "veltrano_sim_hackrf_pull");
        platform::resolveFunction(module, kill, "veltrano_sim_hackrf_kill");
        platform::resolveFunction(module, basebandFilter, "veltrano_sim_hackrf_baseband_filter");
    }

    decltype(&veltrano_sim_hackrf_deliver) deliver = nullptr;
    decltype(&veltrano_sim_hackrf_deliver_sweep) deliverSweep = nullptr;
    decltype(&veltrano_sim_hackrf_pull) pull = nullptr;
    decltype(&veltrano_sim_hackrf_kill) kill = nullptr;
    decltype(&veltrano_sim_hackrf_baseband_filter) basebandFilter = nullptr;
};

// count bytes counting up from first (wrapping at 256).
inline std::vector<std::uint8_t> bytesCounting(std::size_t count, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        bytes[index] = static_cast<std::uint8_t>(first + index);
    }
    return bytes;
}

// The received bytes behind samples, as the board sent them.
inline std::vector<std::uint8_t> bytesOf(const std::vector<std::complex<float>>& samples)
{
    std::vector<std::uint8_t> bytes;
    for (const auto& sample : samples) {
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(sample.real() * 128.0F)));
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(sample.imag() * 128.0F)));
    }
    return bytes;
}

// One HackRF board, "A", on the scripted simulator, and its stream controls.
class HackRfStreamTest : public Simulation {
protected:
    // The device's receive and transmit rings, and what a retune discards.
    static constexpr std::size_t kRingBytes = 4'194'304;
    static constexpr std::size_t kRetuneDiscardBytes = 1'310'720;

    HackRfSdrDevice& openBoard(const std::string& script = "", const std::string& variant = "sim-hackrf")
    {
        simulateHackRf("board A\n" + script, variant);
        device_ = std::make_unique<HackRfSdrDevice>("A");
        control_.emplace();
        return *device_;
    }

    // The default board, opened on first use (by any of the helpers below) unless a test opened its own.
    HackRfSdrDevice& device()
    {
        if (!device_) {
            openBoard();
        }
        return *device_;
    }
    // The simulator's stream controls, for the default board unless a test opened its own.
    const HackRfSimulatorControl& sim()
    {
        device();
        return *control_;
    }

    void startReceiving()
    {
        ASSERT_TRUE(device().configureRx({100e6, 10e6, 0.0, 20.0}));
        ASSERT_TRUE(device().startRx());
    }

    void startTransmitting()
    {
        ASSERT_TRUE(device().configureTx({433.92e6, 10e6, 1.75e6, 20.0}));
        ASSERT_TRUE(device().startTx());
    }

    // One transfer of length bytes as the board would send it; empty when the
    // stream ended. lastResult holds the callback's result.
    std::vector<std::int8_t> pull(int length)
    {
        std::vector<std::int8_t> bytes(static_cast<std::size_t>(length));
        int valid = -1;
        lastResult = sim().pull(length, reinterpret_cast<unsigned char*>(bytes.data()), &valid);
        bytes.resize(static_cast<std::size_t>(std::max(valid, 0)));
        return bytes;
    }
    int lastResult = 0;

    // One receive transfer with every byte valid; the callback's result.
    int deliver(const std::vector<std::uint8_t>& bytes)
    {
        const int length = static_cast<int>(bytes.size());
        return sim().deliver(bytes.data(), length, length);
    }

    std::vector<std::complex<float>> read(std::size_t count)
    {
        std::vector<std::complex<float>> samples(count);
        samples.resize(device().readSamples(samples.data(), count));
        return samples;
    }

    std::vector<std::string> calls(const std::string& name) const { return hackRf().calls(name); }

    // The journal from its line `first` on.
    std::vector<std::string> journalFrom(std::size_t first) const
    {
        const std::vector<std::string> journal = hackRf().journal();
        return {journal.begin() + static_cast<std::ptrdiff_t>(std::min(first, journal.size())), journal.end()};
    }

private:
    std::unique_ptr<HackRfSdrDevice> device_;
    std::optional<HackRfSimulatorControl> control_;
};

} // namespace veltrano::test
