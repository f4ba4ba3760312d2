// SPDX-License-Identifier: MIT
// What a live gain change costs beyond the library call that makes it: one
// stage through HackRfSdrDevice::setGainStage on a running receive stream,
// beside the bare hackrf_set_lna_gain on the same simulated libhackrf in the
// same run; and the overall gain (two library calls) beside the two bare calls.
//
//   build/bin/hackrf-live-control-bench --benchmark_min_time=0.5
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using veltrano::HackRfSdrDevice;
using veltrano::StreamDirection;

// The simulated library, a board opened through the device layer with its
// receive stream running (transfers only on request, so nothing else takes
// the cores), and a second handle for the bare calls.
struct Fixture {
    Fixture()
    {
        const std::filesystem::path script =
            std::filesystem::temp_directory_path() / "hackrf-live-control-bench.script";
        std::ofstream(script) << "board BENCH\n";
        const std::filesystem::path library = std::filesystem::path(VELTRANO_SIM_DIRECTORY) / "sim-hackrf.so";
        setenv("BROMELT_HACKRF_LIBRARY", library.c_str(), 1);
        setenv("VELTRANO_SIM_HACKRF_SCRIPT", script.c_str(), 1);
        device = std::make_unique<HackRfSdrDevice>("BENCH");
        if (!device->configureRx({100e6, 10e6, 0.0, 20.0}) || !device->startRx() ||
            veltrano::hackRfApi().openBySerial("BENCH", &bare) != HACKRF_SUCCESS) {
            std::abort();
        }
    }

    std::unique_ptr<HackRfSdrDevice> device;
    hackrf_device* bare = nullptr;
};

Fixture& fixture()
{
    static Fixture instance;
    return instance;
}

void bareLnaCall(benchmark::State& state)
{
    hackrf_device* bare = fixture().bare; // first: it points the table at the simulator
    const auto& api = veltrano::hackRfApi();
    std::uint32_t gain = 8;
    for (auto _ : state) {
        benchmark::DoNotOptimize(api.setLnaGain(bare, gain));
        gain ^= 24; // 8, 16, 8, ...
    }
}
BENCHMARK(bareLnaCall);

void liveLnaChange(benchmark::State& state)
{
    HackRfSdrDevice& device = *fixture().device;
    double gain = 8.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.setGainStage(StreamDirection::rx, "LNA", gain));
        gain = 24.0 - gain;
    }
}
BENCHMARK(liveLnaChange);

void bareLnaAndVgaCalls(benchmark::State& state)
{
    hackrf_device* bare = fixture().bare; // first: it points the table at the simulator
    const auto& api = veltrano::hackRfApi();
    std::uint32_t gain = 8;
    for (auto _ : state) {
        benchmark::DoNotOptimize(api.setLnaGain(bare, gain));
        benchmark::DoNotOptimize(api.setVgaGain(bare, gain));
        gain ^= 24;
    }
}
BENCHMARK(bareLnaAndVgaCalls);

void liveOverallGainChange(benchmark::State& state)
{
    HackRfSdrDevice& device = *fixture().device;
    double gain = 16.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.setGain(StreamDirection::rx, gain));
        gain = 48.0 - gain; // LNA 16 then LNA 32, the VGA at 0: both stages are sent each time
    }
}
BENCHMARK(liveOverallGainChange);

} // namespace

BENCHMARK_MAIN();
