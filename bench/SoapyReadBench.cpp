// SPDX-License-Identifier: MIT
// Receive through the SoapySDR module: readStream from the simulated bladeRF
// as a SoapySDR application calls it (CF32 straight into the caller's buffer,
// CS16 through the conversion kernel), beside the backend's own readSamples,
// its peer without the module, and a memcpy of the samples delivered. The
// simulator leaves its buffer untouched, so the figures are the device
// layer's and the module's own work.
//
//   build/bin/soapy-read-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>

#include <complex>
#include <cstdlib>
#include <vector>

namespace veltrano {
namespace {

// The module's stream MTU for a bladeRF: one library buffer per call.
constexpr std::size_t kSamplesPerCall = 16384;

void countSamples(benchmark::State& state, std::size_t bytesPerSample)
{
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall * bytesPerSample));
}

void readStreamAs(benchmark::State& state, const char* format, std::size_t bytesPerSample)
{
    SoapySDR::Device* device = SoapySDR::Device::make("driver=veltrano");
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, format);
    std::vector<unsigned char> buffer(kSamplesPerCall * bytesPerSample);
    void* buffers[] = {buffer.data()};
    if (device->activateStream(stream) != 0) {
        state.SkipWithError("activateStream failed");
    }
    for (auto _ : state) {
        int flags = 0;
        long long timeNs = 0;
        benchmark::DoNotOptimize(device->readStream(stream, buffers, kSamplesPerCall, flags, timeNs, 1'000'000));
        benchmark::ClobberMemory();
    }
    countSamples(state, bytesPerSample);
    device->closeStream(stream);
    SoapySDR::Device::unmake(device);
}

void backendReadSamples(benchmark::State& state)
{
    BladeRfSdrDevice device("A");
    device.configureRx(StreamConfig{915e6, 4e6, 0.0, 30.0});
    std::vector<std::complex<float>> samples(kSamplesPerCall);
    if (!device.startRx()) {
        state.SkipWithError("startRx failed");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.readSamples(samples.data(), samples.size()));
        benchmark::ClobberMemory();
    }
    countSamples(state, sizeof samples[0]);
}

void memcpyOfTheDeliveredSamples(benchmark::State& state)
{
    bench::copySamples(state, kSamplesPerCall);
}

BENCHMARK_CAPTURE(readStreamAs, cf32, SOAPY_SDR_CF32, 8);
BENCHMARK_CAPTURE(readStreamAs, cs16, SOAPY_SDR_CS16, 4);
BENCHMARK(backendReadSamples);
BENCHMARK(memcpyOfTheDeliveredSamples);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    // Only the module in the build tree, not one installed on the machine.
    ::setenv("SOAPY_SDR_PLUGIN_PATH", VELTRANO_SOAPY_MODULE_DIRECTORY, 1);
    ::setenv("SOAPY_SDR_ROOT", VELTRANO_SOAPY_MODULE_DIRECTORY "/no-installed-modules", 1);
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\nrx-pattern off\n");
}
