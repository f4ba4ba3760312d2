// SPDX-License-Identifier: MIT
// What the bladeRF benchmarks share: the simulated libbladeRF built beside
// them, pointed at by the override before the library table is first built
// (no journal: the benchmarks measure the calls, not the journal's file
// writes), and the memcpy every figure stands beside.
#pragma once

#include "bench/MemcpyPeer.h"
#include "device/platform/ProcessEnvironment.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace veltrano::bench {

// memcpy of `samples` complex float samples per iteration, counted like the
// device call it stands beside.
inline void copySamples(benchmark::State& state, std::size_t samples)
{
    memcpyPeer(state, samples * sizeof(std::complex<float>), samples);
}

// Runs the registered benchmarks on a simulated library variant with a script.
inline int runOnSimulatedBladeRf(int argc, char** argv, const std::string& script,
                                 const std::string& variant = "sim-bladerf")
{
    const auto directory = platform::executableDirectory();
    if (!directory) {
        throw std::runtime_error("cannot tell the benchmark's directory");
    }
    const auto scriptFile =
        std::filesystem::temp_directory_path() / ("veltrano-bladerf-bench-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(scriptFile) << script;
    ::setenv("BROMELT_BLADERF_LIBRARY", (*directory / "sim" / (variant + ".so")).c_str(), 1);
    ::setenv("VELTRANO_SIM_BLADERF_SCRIPT", scriptFile.c_str(), 1);
    ::unsetenv("VELTRANO_SIM_BLADERF_JOURNAL");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(scriptFile);
    return 0;
}

} // namespace veltrano::bench
