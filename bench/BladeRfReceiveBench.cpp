// SPDX-License-Identifier: MIT
// bladeRF receive through the simulated libbladeRF: readSamples of a plain
// stream (a library without quick-tune calls) in the library's plain format,
// as a library without timestamps gets it, and with the timestamps that show
// its gaps, beside a memcpy of the bytes it delivers. The simulator writes
// its timestamp pattern into every sample, so the library's own work is part
// of the figure, as it is on a board.
//
//   build/bin/bladerf-receive-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

// One stream buffer per call: the largest library read.
constexpr std::size_t kSamplesPerCall = 16384;

StreamConfig receiveConfig()
{
    return StreamConfig{915e6, 61.44e6, 0.0, 20.0};
}

// Gives the simulated library a new script; no device may be open.
void simulate(const std::string& script)
{
    std::ofstream(std::getenv("VELTRANO_SIM_BLADERF_SCRIPT")) << "board serial=A\n" << script;
    void* library = ::dlopen(std::getenv("BROMELT_BLADERF_LIBRARY"), RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        if (auto* reload = reinterpret_cast<void (*)()>(::dlsym(library, "veltrano_sim_bladerf_reload_script"))) {
            reload();
        }
        ::dlclose(library);
    }
}

void readSamplesPlain(benchmark::State& state, const std::string& script)
{
    simulate(script);
    BladeRfSdrDevice device("A");
    device.configureRx(receiveConfig());
    std::vector<std::complex<float>> samples(kSamplesPerCall);
    if (!device.startRx()) {
        state.SkipWithError("startRx failed");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.readSamples(samples.data(), samples.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall * sizeof samples[0]));
}

void memcpyOfTheDeliveredBytes(benchmark::State& state)
{
    bench::copySamples(state, kSamplesPerCall);
}

BENCHMARK_CAPTURE(readSamplesPlain, formatWithoutTimestamps, std::string("metadata off\n"));
BENCHMARK_CAPTURE(readSamplesPlain, withTimestamps, std::string());
BENCHMARK(memcpyOfTheDeliveredBytes);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\n", "sim-bladerf-no-quick-tune");
}
