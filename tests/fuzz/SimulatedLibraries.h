// SPDX-License-Identifier: MIT
// What the fuzz targets share: the simulated vendor libraries (found beside
// the target in bin/sim) with their scripts, and the simulated libhackrf's
// entry point that hands one transfer to the running stream's callback on
// its transfer thread.
#pragma once

#include "tests/fuzz/FuzzInput.h"

#include <dlfcn.h>
#include <unistd.h>

#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace veltrano::fuzz {

using DeliverTransfer = int (*)(const unsigned char* data, int bufferLength, int validLength);

// A check the target makes (most of its own model); a failure is a finding.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// The family's simulator if the device layer has it loaded, or null; a handle holds one more reference.
inline void* loadedSimulator(const std::string& family)
{
    return dlopen(std::getenv(("BROMELT_" + family + "_LIBRARY").c_str()), RTLD_NOW | RTLD_NOLOAD);
}

// Writes the family's script. A loaded simulator has read its script once already, so it is told to read the new one.
inline void writeScript(const std::string& family, const std::string& script)
{
    std::ofstream(std::getenv(("VELTRANO_SIM_" + family + "_SCRIPT").c_str()), std::ios::binary) << script;
    if (void* module = loadedSimulator(family)) {
        const char* entry =
            family == "HACKRF" ? "veltrano_sim_hackrf_reload_script" : "veltrano_sim_bladerf_reload_script";
        if (auto* reload = reinterpret_cast<void (*)()>(dlsym(module, entry))) {
            reload();
        }
        dlclose(module);
    }
}

// Points the device layer at the family's simulated library (beside the target
// in bin/sim), running the script from a file in a scratch directory of this process.
inline void useSimulator(const std::string& family, const std::string& script)
{
    const auto scratch = std::filesystem::temp_directory_path() / ("veltrano-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch);
    const std::filesystem::path library = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "sim" /
                                          (family == "HACKRF" ? "sim-hackrf.so" : "sim-bladerf.so");
    setenv(("BROMELT_" + family + "_LIBRARY").c_str(), library.c_str(), 1);
    setenv(("VELTRANO_SIM_" + family + "_SCRIPT").c_str(), (scratch / family).c_str(), 1);
    writeScript(family, script);
}

// The simulator's transfer entry point; the library must be loaded (a device open).
inline DeliverTransfer deliverTransfer()
{
    static const DeliverTransfer deliver = [] {
        void* module = loadedSimulator("HACKRF");
        void* symbol = module != nullptr ? dlsym(module, "veltrano_sim_hackrf_deliver") : nullptr;
        require(symbol != nullptr, "the simulated libhackrf is loaded and has veltrano_sim_hackrf_deliver");
        return reinterpret_cast<DeliverTransfer>(symbol);
    }();
    return deliver;
}

// A transfer's valid_length: mostly within the buffer, sometimes negative or
// beyond it, as a faulty library or USB stack might report.
inline int validLengthFor(FuzzInput& in, int bufferLength)
{
    switch (in.byte() % 8) {
    case 0:
        return bufferLength + static_cast<int>(in.number(100'000));
    case 1:
        return -static_cast<int>(in.number(100'000));
    default:
        return static_cast<int>(in.number(static_cast<std::uint32_t>(bufferLength) + 1));
    }
}

// The samples the device makes of the first count pairs of I and Q bytes.
template <typename Bytes>
std::vector<std::complex<float>> samplesOf(const Bytes& bytes, std::size_t count)
{
    std::vector<std::complex<float>> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = {static_cast<std::int8_t>(bytes[2 * i]) / 128.0f,
                      static_cast<std::int8_t>(bytes[2 * i + 1]) / 128.0f};
    }
    return samples;
}

} // namespace veltrano::fuzz
