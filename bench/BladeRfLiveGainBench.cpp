// SPDX-License-Identifier: MIT
// What a live gain change costs on a running receive stream: the device
// layer's setGainStage (the lock, the stage lookup that keeps unknown names
// and out-of-range values from the library, the call) beside the bare
// library call on a second handle of the same simulated board; the
// difference is the device layer's share. No journal, so the simulated calls
// are cheap.
//
//   build/bin/bladerf-live-gain-bench --benchmark_min_time=0.5
#include "bench/BladeRfBenchSimulation.h"
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <benchmark/benchmark.h>

namespace veltrano {
namespace {

void liveGainStage(benchmark::State& state)
{
    BladeRfSdrDevice device("A");
    device.configureRx(StreamConfig{915e6, 10e6, 0.0, 20.0});
    if (!device.startRx()) {
        state.SkipWithError("startRx failed");
        return;
    }
    int gain = 0;
    for (auto _ : state) {
        gain = (gain + 1) % 60;
        if (!device.setGainStage(StreamDirection::rx, "full", gain)) {
            state.SkipWithError("setGainStage failed");
            break;
        }
    }
    device.stopRx();
}

void liveGainStageLibraryCall(benchmark::State& state)
{
    const BladeRfApi& api = bladeRfApi();
    bladerf* handle = nullptr;
    if (api.open(&handle, "*:serial=A") < 0 || api.setGainStage == nullptr) {
        state.SkipWithError("open failed");
        return;
    }
    int gain = 0;
    for (auto _ : state) {
        gain = (gain + 1) % 60;
        benchmark::DoNotOptimize(api.setGainStage(handle, BLADERF_CHANNEL_RX(0), "full", gain));
    }
    api.close(handle);
}

BENCHMARK(liveGainStage);
BENCHMARK(liveGainStageLibraryCall);

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    return veltrano::bench::runOnSimulatedBladeRf(argc, argv, "board serial=A\n");
}
