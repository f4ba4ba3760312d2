// SPDX-License-Identifier: MIT
// The simulators' scene synthesis (simulators/common/SceneSynthesizer.h)
// beside the rates it has to keep up with on one core: a HackRF transfer of
// 8-bit I/Q at 20 MS/s, a bladeRF read of SC16 Q11 at 61.44 MS/s, and memcpy
// of the same output bytes in the same run. The counter x_needed_rate is how
// many times faster than the board's rate the synthesis ran.
//
// paced* stream a scene from the simulated library with rx-paced through the
// device layer for a few seconds of wall-clock time and report the rate the
// reader saw over the configured rate (rate_ratio; 1.0 is exact).
//
//   build/bin/scene-bench --benchmark_min_time=0.5
#include "bench/MemcpyPeer.h"
#include "common/SceneSynthesizer.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using veltrano::sim::Modulation;
using veltrano::sim::Scene;
using veltrano::sim::SceneCarrier;
using veltrano::sim::SceneSynthesizer;

constexpr double kCentreHz = 100e6;
constexpr std::size_t kHackRfSamples = 131'072; // one 262,144-byte transfer
constexpr std::size_t kBladeRfSamples = 16'384;  // one library read of the device layer

// Four carriers (plain, AM, FM, plain) within 10 MHz of the centre, and noise.
Scene benchScene()
{
    Scene scene;
    scene.carriers = {
        SceneCarrier{kCentreHz + 1e6, -20.0, Modulation::none, 0.0, 0.0},
        SceneCarrier{kCentreHz - 3e6, -30.0, Modulation::am, 1e3, 0.8},
        SceneCarrier{kCentreHz + 5e6, -25.0, Modulation::fm, 1e3, 75e3},
        SceneCarrier{kCentreHz - 7e6, -40.0, Modulation::none, 0.0, 0.0},
    };
    scene.noiseDbfs = -60.0;
    return scene;
}

void memcpyOutput(benchmark::State& state)
{
    veltrano::bench::memcpyPeer(state, static_cast<std::size_t>(state.range(0)), 0);
}
BENCHMARK(memcpyOutput)->Arg(2 * kHackRfSamples)->Arg(4 * kBladeRfSamples);

template <typename Value>
void synthesize(benchmark::State& state, std::size_t samples, double rateHz)
{
    SceneSynthesizer scene(benchScene());
    scene.tune({kCentreHz, rateHz, 20.0});
    std::vector<Value> out(2 * samples);
    for (auto _ : state) {
        if constexpr (sizeof(Value) == 1) {
            scene.renderCs8(out.data(), samples);
        } else {
            scene.renderSc16(out.data(), samples);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const auto produced = static_cast<double>(state.iterations() * samples);
    state.SetItemsProcessed(static_cast<std::int64_t>(produced));
    state.SetBytesProcessed(static_cast<std::int64_t>(produced * 2 * sizeof(Value)));
    state.counters["x_needed_rate"] = benchmark::Counter(produced / rateHz, benchmark::Counter::kIsRate);
}

void hackRfCs8At20MSps(benchmark::State& state)
{
    synthesize<std::int8_t>(state, kHackRfSamples, 20e6);
}
BENCHMARK(hackRfCs8At20MSps);

void bladeRfSc16At61MSps(benchmark::State& state)
{
    synthesize<std::int16_t>(state, kBladeRfSamples, 61.44e6);
}
BENCHMARK(bladeRfSc16At61MSps);

// The scripts of the paced runs; both simulated libraries are named before
// the device layer loads either.
void useSimulators()
{
    static const bool done = [] {
        const std::string scene = "rx-paced\nscene-carrier 101000000 -20\nscene-carrier 97000000 -30 am 1000 0.8\n"
                                  "scene-carrier 105000000 -25 fm 1000 75000\nscene-noise -60\n";
        const std::filesystem::path directory = std::filesystem::temp_directory_path();
        std::ofstream(directory / "scene-bench-hackrf.script") << "board BENCH\n" << scene;
        std::ofstream(directory / "scene-bench-bladerf.script") << "board serial=BENCH\n" << scene;
        const std::filesystem::path simulators(VELTRANO_SIM_DIRECTORY);
        setenv("BROMELT_HACKRF_LIBRARY", (simulators / "sim-hackrf.so").c_str(), 1);
        setenv("BROMELT_BLADERF_LIBRARY", (simulators / "sim-bladerf.so").c_str(), 1);
        setenv("VELTRANO_SIM_HACKRF_SCRIPT", (directory / "scene-bench-hackrf.script").c_str(), 1);
        setenv("VELTRANO_SIM_BLADERF_SCRIPT", (directory / "scene-bench-bladerf.script").c_str(), 1);
        return true;
    }();
    benchmark::DoNotOptimize(done);
}

// Reads for a few seconds; the rate counts from the first samples on, so the
// stream's start does not weigh in.
void pacedRead(benchmark::State& state, veltrano::ISdrDevice& device, double rateHz)
{
    using Clock = std::chrono::steady_clock;
    if (!device.configureRx({kCentreHz, rateHz, 0.0, 20.0}) || !device.startRx()) {
        state.SkipWithError("the simulated library did not stream");
        return;
    }
    std::vector<std::complex<float>> samples(kBladeRfSamples);
    std::size_t counted = 0;
    Clock::time_point first;
    for (auto _ : state) {
        while (device.readSamples(samples.data(), samples.size()) == 0) {
        }
        first = Clock::now();
        while (Clock::now() - first < std::chrono::seconds(3)) {
            counted += device.readSamples(samples.data(), samples.size());
        }
    }
    const std::chrono::duration<double> elapsed = Clock::now() - first;
    device.stopRx();
    state.counters["rate_ratio"] = static_cast<double>(counted) / (elapsed.count() * rateHz);
    state.counters["configured_MSps"] = rateHz / 1e6;
}

// The argument is the rate in kS/s.
void pacedHackRf(benchmark::State& state)
{
    useSimulators();
    veltrano::HackRfSdrDevice device("BENCH");
    pacedRead(state, device, static_cast<double>(state.range(0)) * 1e3);
}
BENCHMARK(pacedHackRf)->Arg(2'000)->Arg(20'000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void pacedBladeRf(benchmark::State& state)
{
    useSimulators();
    veltrano::BladeRfSdrDevice device("BENCH");
    pacedRead(state, device, static_cast<double>(state.range(0)) * 1e3);
}
BENCHMARK(pacedBladeRf)->Arg(2'000)->Arg(61'440)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
