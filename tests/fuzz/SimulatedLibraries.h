// SPDX-License-Identifier: MIT
// What the fuzz targets share: the simulated vendor libraries (found beside
// the target in bin/sim) with their scripts, and the simulated libhackrf's
// entry point that hands one transfer to the running stream's callback on
// its transfer thread.
#pragma once

#include "tests/fuzz/FuzzInput.h"

#include <dlfcn.h>

#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace veltrano::fuzz {

using DeliverTransfer = int (*)(const unsigned char* data, int bufferLength, int validLength);

// Points the device layer at a family's (HACKRF or BLADERF) simulated library,
// reading its script from a file in a scratch directory of this process; the
// script's path.
inline std::filesystem::path useSimulator(const std::string& family, const std::string& library)
{
    static const std::filesystem::path scratch = [] {
        char directory[] = "/tmp/veltrano-fuzz-XXXXXX";
        if (mkdtemp(directory) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return std::filesystem::path(directory);
    }();
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe");
    setenv(("BROMELT_" + family + "_LIBRARY").c_str(), (executable.parent_path() / "sim" / library).c_str(), 1);
    setenv(("VELTRANO_SIM_" + family + "_SCRIPT").c_str(), (scratch / family).c_str(), 1);
    return scratch / family;
}

// The simulator's transfer entry point; the library must be loaded (a device open).
inline DeliverTransfer deliverTransfer()
{
    static const DeliverTransfer deliver = [] {
        void* module = dlopen(std::getenv("BROMELT_HACKRF_LIBRARY"), RTLD_NOW | RTLD_NOLOAD);
        void* symbol = module != nullptr ? dlsym(module, "veltrano_sim_hackrf_deliver") : nullptr;
        if (symbol == nullptr) {
            std::fprintf(stderr, "the simulated libhackrf is not loaded or lacks veltrano_sim_hackrf_deliver\n");
            std::abort();
        }
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

// The sample the device makes of an I and a Q byte.
inline std::complex<float> sampleOf(std::uint8_t i, std::uint8_t q)
{
    return {static_cast<std::int8_t>(i) / 128.0f, static_cast<std::int8_t>(q) / 128.0f};
}

// A check of the target's own model; a mismatch is a finding.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "model mismatch: %s\n", what);
        std::abort();
    }
}

} // namespace veltrano::fuzz
