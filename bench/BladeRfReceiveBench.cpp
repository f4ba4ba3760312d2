// SPDX-License-Identifier: MIT
// bladeRF receive through the simulated libbladeRF: readSamples in the plain
// format (a library without quick-tune calls) beside a memcpy of the bytes it
// delivers. The simulator writes its timestamp pattern into every sample, so
// the library's own work is part of the figure, as it is on a board.
//
//   build/bin/bladerf-receive-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <vector>

namespace veltrano {
namespace {

// One stream buffer per call: the largest library read.
constexpr std::size_t kSamplesPerCall = 16384;

StreamConfig receiveConfig()
{
    return StreamConfig{915e6, 61.44e6, 0.0, 20.0};
}

void readSamplesPlain(benchmark::State& state)
{
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

BENCHMARK(readSamplesPlain);
BENCHMARK(memcpyOfTheDeliveredBytes);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\n", "sim-bladerf-no-quick-tune");
}
