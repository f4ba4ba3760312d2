// SPDX-License-Identifier: MIT
// SoapySDR itself loads the module from the build tree, as any SoapySDR
// application would, and the simulated libraries stand in for the boards.
#pragma once

#include "tests/support/SimulationFixture.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <memory>
#include <string>
#include <vector>

namespace veltrano::test {

struct SoapyUnmake {
    void operator()(SoapySDR::Device* device) const { SoapySDR::Device::unmake(device); }
};
using SoapyDevicePointer = std::unique_ptr<SoapySDR::Device, SoapyUnmake>;

// Only our module: the plugin path names the build's module directory and
// the installation root is one where no module lives.
struct OnlyOurSoapyModule {
    ScopedEnvironment pluginPath{"SOAPY_SDR_PLUGIN_PATH", VELTRANO_SOAPY_MODULE_DIRECTORY};
    ScopedEnvironment root{"SOAPY_SDR_ROOT", VELTRANO_SOAPY_MODULE_DIRECTORY "/no-installed-modules"};
};

class SoapyModule : public Simulation {
protected:
    SoapyDevicePointer make(const std::string& args) { return SoapyDevicePointer(SoapySDR::Device::make(args)); }

    // Two HackRF Ones (H1, H2) and a bladeRF 2.0 (B1) that only receives.
    void simulateOneBoardOfEach()
    {
        simulateHackRf("board H1\nboard H2\nversion fw-7\nusb-api 0x0102\n");
        simulateBladeRf("board serial=B1 product=bladeRF_2.0 rx=1 tx=0\n");
    }

    // Sets up and activates a stream; the device closes it when it goes.
    static SoapySDR::Stream* start(SoapySDR::Device& device, int direction, const char* format)
    {
        SoapySDR::Stream* stream = device.setupStream(direction, format);
        EXPECT_EQ(device.activateStream(stream), 0);
        return stream;
    }

    // What a read or a status call returned, with its flags and time.
    struct Outcome {
        int result;
        int flags;
        long long timeNs;
    };

    static Outcome readTimed(SoapySDR::Device& device, SoapySDR::Stream* stream, void* buffer, std::size_t count,
                             long timeoutUs = 1'000'000)
    {
        void* buffers[] = {buffer};
        Outcome outcome{};
        outcome.result = device.readStream(stream, buffers, count, outcome.flags, outcome.timeNs, timeoutUs);
        return outcome;
    }

    static int read(SoapySDR::Device& device, SoapySDR::Stream* stream, void* buffer, std::size_t count)
    {
        return readTimed(device, stream, buffer, count).result;
    }

    static Outcome status(SoapySDR::Device& device, SoapySDR::Stream* stream)
    {
        Outcome outcome{};
        std::size_t mask = 0;
        outcome.result = device.readStreamStatus(stream, mask, outcome.flags, outcome.timeNs, 1'000'000);
        return outcome;
    }

    // The next count complex samples of a running stream (fewer if it stops delivering).
    static std::vector<std::complex<float>> receive(SoapySDR::Device& device, SoapySDR::Stream* stream,
                                                    std::size_t count)
    {
        std::vector<std::complex<float>> samples(count);
        std::size_t received = 0;
        for (int call = 0; call < 10'000 && received < count; ++call) {
            const int result = read(device, stream, samples.data() + received, count - received);
            EXPECT_TRUE(result > 0 || result == SOAPY_SDR_TIMEOUT) << result;
            received += static_cast<std::size_t>(std::max(result, 0));
        }
        samples.resize(received);
        return samples;
    }

    static int write(SoapySDR::Device& device, SoapySDR::Stream* stream, const void* buffer, std::size_t count,
                     int flags = 0, long long timeNs = 0)
    {
        const void* buffers[] = {buffer};
        return device.writeStream(stream, buffers, count, flags, timeNs, 1'000'000);
    }

private:
    OnlyOurSoapyModule onlyOurs_;
};

} // namespace veltrano::test
