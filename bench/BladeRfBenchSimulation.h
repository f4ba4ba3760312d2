// Points the bladeRF backend at the simulated libbladeRF built beside the
// benchmarks, with a script, before the library table is first built. No
// journal: the benchmarks measure the calls, not the journal's file writes.
#pragma once

#include "device/platform/ProcessEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace veltrano::bench {

inline void simulateBladeRf(const std::string& script, const std::string& variant = "sim-bladerf")
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
}

} // namespace veltrano::bench
