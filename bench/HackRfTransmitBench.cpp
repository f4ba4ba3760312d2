// SPDX-License-Identifier: MIT
// HackRF writeSamples (conversion to signed 8-bit and the ring) against memcpy
// of the same input bytes, in the same run. The simulated libhackrf pulls
// nothing, so every call finds room: whenever the 4 MiB ring is full the
// stream is restarted with a fresh one, outside the timed part.
//
//   build/bin/hackrf-transmit-bench --benchmark_min_time=0.5
#include "bench/MemcpyPeer.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace {

using veltrano::HackRfSdrDevice;

constexpr std::size_t kSamples = 131'072; // 256 KiB of bytes per call

void memcpyInput(benchmark::State& state)
{
    veltrano::bench::memcpyPeer(state, kSamples * sizeof(std::complex<float>), kSamples);
}
BENCHMARK(memcpyInput);

void writeSamples(benchmark::State& state)
{
    const std::filesystem::path script = std::filesystem::temp_directory_path() / "hackrf-transmit-bench.script";
    std::ofstream(script) << "board BENCH\n";
    const std::filesystem::path library = std::filesystem::path(VELTRANO_SIM_DIRECTORY) / "sim-hackrf.so";
    setenv("BROMELT_HACKRF_LIBRARY", library.c_str(), 1);
    setenv("VELTRANO_SIM_HACKRF_SCRIPT", script.c_str(), 1);
    HackRfSdrDevice device("BENCH");
    if (!device.configureTx({433.92e6, 20e6, 1.75e6, 20.0}) || !device.startTx()) {
        state.SkipWithError("simulated libhackrf did not stream");
        return;
    }
    std::vector<std::complex<float>> samples(kSamples, {0.5F, -0.5F});
    std::size_t accepted = 0;
    std::size_t queued = 0;
    for (auto _ : state) {
        if (queued + kSamples > 4'194'304 / 2) {
            state.PauseTiming();
            device.stopTx();
            device.startTx();
            queued = 0;
            state.ResumeTiming();
        }
        const std::size_t taken = device.writeSamples(samples.data(), samples.size());
        accepted += taken;
        queued += taken;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(accepted));
    state.SetBytesProcessed(static_cast<std::int64_t>(accepted * sizeof(std::complex<float>)));
    device.stopTx();
}
BENCHMARK(writeSamples);

} // namespace

BENCHMARK_MAIN();
