// SPDX-License-Identifier: MIT
// Receive through the SoapySDR module: readStream from the simulated bladeRF
// as a SoapySDR application calls it (CF32 straight into the caller's buffer,
// CS16 the board's own values straight into it too, CS8 mapped from them),
// beside the backend's own readSamples, its peer without the module, and a
// memcpy of the samples delivered. The simulator leaves its buffer untouched,
// so the figures are the device layer's and the module's own work. The
// HackRF's native CS8 stream runs on the free-running simulated libhackrf,
// beside a memcpy of the same bytes.
//
//   build/bin/soapy-read-bench --benchmark_min_time=0.5
#include "bench/MemcpyPeer.h"
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>

#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
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

// The module's stream MTU for a HackRF.
constexpr std::size_t kHackRfSamplesPerCall = 131'072;

void readStreamAs(benchmark::State& state, const char* format, std::size_t bytesPerSample)
{
    SoapySDR::Device* device = SoapySDR::Device::make("driver=veltrano,family=bladerf");
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

// memcpy of `bytes` per iteration, counted in samples of samplesPerCall.
void memcpyOfBytes(benchmark::State& state, std::size_t samples, std::size_t bytesPerSample)
{
    bench::memcpyPeer(state, samples * bytesPerSample, samples);
}

void hackRfReadStreamCs8(benchmark::State& state)
{
    SoapySDR::Device* device = SoapySDR::Device::make("driver=veltrano,family=hackrf");
    device->setSampleRate(SOAPY_SDR_RX, 0, 20e6);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS8);
    std::vector<unsigned char> buffer(kHackRfSamplesPerCall * 2);
    void* buffers[] = {buffer.data()};
    if (device->activateStream(stream) != 0) {
        state.SkipWithError("activateStream failed");
    }
    std::size_t delivered = 0;
    for (auto _ : state) {
        int flags = 0;
        long long timeNs = 0;
        const int result = device->readStream(stream, buffers, kHackRfSamplesPerCall, flags, timeNs, 1'000'000);
        delivered += result > 0 ? static_cast<std::size_t>(result) : 0;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
    state.SetBytesProcessed(static_cast<std::int64_t>(delivered * 2));
    device->closeStream(stream);
    SoapySDR::Device::unmake(device);
}

BENCHMARK_CAPTURE(readStreamAs, cf32, SOAPY_SDR_CF32, 8);
BENCHMARK_CAPTURE(readStreamAs, cs16_native, SOAPY_SDR_CS16, 4);
BENCHMARK_CAPTURE(readStreamAs, cs8, SOAPY_SDR_CS8, 2);
BENCHMARK(backendReadSamples);
BENCHMARK(memcpyOfTheDeliveredSamples);
BENCHMARK_CAPTURE(memcpyOfBytes, cs16_values, kSamplesPerCall, 4);
BENCHMARK(hackRfReadStreamCs8);
BENCHMARK_CAPTURE(memcpyOfBytes, hackrf_cs8_bytes, kHackRfSamplesPerCall, 2);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    // Only the module in the build tree, not one installed on the machine.
    ::setenv("SOAPY_SDR_PLUGIN_PATH", VELTRANO_SOAPY_MODULE_DIRECTORY, 1);
    ::setenv("SOAPY_SDR_ROOT", VELTRANO_SOAPY_MODULE_DIRECTORY "/no-installed-modules", 1);
    // A free-running simulated HackRF for the CS8 stream.
    const auto hackRfScript =
        std::filesystem::temp_directory_path() / ("veltrano-soapy-hackrf-bench-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(hackRfScript) << "board HBENCH\nrx-free-run 262144\n";
    const auto directory = veltrano::platform::executableDirectory();
    if (directory) {
        ::setenv("BROMELT_HACKRF_LIBRARY", (*directory / "sim" / "sim-hackrf.so").c_str(), 1);
    }
    ::setenv("VELTRANO_SIM_HACKRF_SCRIPT", hackRfScript.c_str(), 1);
    ::unsetenv("VELTRANO_SIM_HACKRF_JOURNAL");
    struct RemoveScript {
        std::filesystem::path file;
        ~RemoveScript() { std::filesystem::remove(file); }
    } removeScript{hackRfScript};
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\nrx-pattern off\n");
}
