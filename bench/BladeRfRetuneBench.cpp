// SPDX-License-Identifier: MIT
// The device layer's own cost of a quick-path setRxFrequency (cache lookup,
// counters, timestamp bookkeeping, the mutex) beside the library calls it
// makes, timed on a second handle of the same simulated board: the difference
// is the overhead. No journal, so the simulated calls are cheap.
//
//   build/bin/bladerf-retune-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <benchmark/benchmark.h>

namespace veltrano {
namespace {

void quickRetune(benchmark::State& state)
{
    BladeRfSdrDevice device("A");
    device.configureRx(StreamConfig{915e6, 61.44e6, 0.0, 20.0});
    device.prepareRxFrequencies({100e6, 200e6});
    if (!device.startRx()) {
        state.SkipWithError("startRx failed");
        return;
    }
    bool high = false;
    for (auto _ : state) {
        high = !high;
        benchmark::DoNotOptimize(device.setRxFrequency(high ? 200e6 : 100e6));
    }
    if (device.fastRxRetuneCount() != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("a retune took the regular path");
    }
}

// The library's own share of a quick retune: the same two calls on a second
// handle of the same simulated board, with records it handed out itself.
void quickRetuneLibraryCalls(benchmark::State& state)
{
    const BladeRfApi& api = bladeRfApi();
    bladerf* handle = nullptr;
    if (api.open(&handle, "*:serial=A") < 0) {
        state.SkipWithError("open failed");
        return;
    }
    bladerf_quick_tune records[2]{};
    api.setFrequency(handle, BLADERF_CHANNEL_RX(0), 100000000);
    api.getQuickTune(handle, BLADERF_CHANNEL_RX(0), &records[0]);
    api.setFrequency(handle, BLADERF_CHANNEL_RX(0), 200000000);
    api.getQuickTune(handle, BLADERF_CHANNEL_RX(0), &records[1]);
    bool high = false;
    for (auto _ : state) {
        high = !high;
        bladerf_timestamp now = 0;
        benchmark::DoNotOptimize(api.scheduleRetune(handle, BLADERF_CHANNEL_RX(0), 0, 0, &records[high ? 1 : 0]));
        benchmark::DoNotOptimize(api.getTimestamp(handle, BLADERF_RX, &now));
    }
    api.close(handle);
}

BENCHMARK(quickRetune);
BENCHMARK(quickRetuneLibraryCalls);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\n");
}
