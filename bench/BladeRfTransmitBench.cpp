// SPDX-License-Identifier: MIT
// bladeRF transmit through the simulated libbladeRF: writeSamples (conversion
// to SC16 Q11 and one bladerf_sync_tx per 65536 samples) beside a memcpy of
// the bytes it is handed. The simulator accepts the samples without looking
// at them (no capture file), so the figure is the device layer's own.
//
//   build/bin/bladerf-transmit-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <vector>

namespace veltrano {
namespace {

// One stream buffer per call: the largest write.
constexpr std::size_t kSamplesPerCall = 65536;

std::vector<std::complex<float>> signal()
{
    std::vector<std::complex<float>> samples(kSamplesPerCall);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = {static_cast<float>(index % 4001) / 2000.0F - 1.0F, 0.25F};
    }
    return samples;
}

void writeSamples(benchmark::State& state)
{
    BladeRfSdrDevice device("A");
    const auto samples = signal();
    if (!device.configureTx(StreamConfig{915e6, 61.44e6, 0.0, 20.0}) || !device.startTx()) {
        state.SkipWithError("transmit did not start");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.writeSamples(samples.data(), samples.size()));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamplesPerCall * sizeof samples[0]));
}

void memcpyOfTheAcceptedBytes(benchmark::State& state)
{
    bench::copySamples(state, kSamplesPerCall);
}

BENCHMARK(writeSamples);
BENCHMARK(memcpyOfTheAcceptedBytes);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\n");
}
