// SPDX-License-Identifier: MIT
#pragma once

#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace veltrano::test {

// Points a backend at a simulated host library variant running a script.
// The override and the script stay in force for the whole test (and for any
// probe the test starts as a child process).
class Simulation : public ::testing::Test {
protected:
    void simulateHackRf(const std::string& script, const std::string& variant = "sim-hackrf")
    {
        hackRfOverride_.emplace("BROMELT_HACKRF_LIBRARY", environmentText(simulatedLibrary(variant)));
        hackRf_.emplace("HACKRF", script);
    }

    void simulateBladeRf(const std::string& script, const std::string& variant = "sim-bladerf")
    {
        bladeRfOverride_.emplace("BROMELT_BLADERF_LIBRARY", environmentText(simulatedLibrary(variant)));
        bladeRf_.emplace("BLADERF", script);
    }

    const SimulatorSession& hackRf() const { return *hackRf_; }
    const SimulatorSession& bladeRf() const { return *bladeRf_; }

private:
    std::optional<ScopedEnvironment> hackRfOverride_;
    std::optional<SimulatorSession> hackRf_;
    std::optional<ScopedEnvironment> bladeRfOverride_;
    std::optional<SimulatorSession> bladeRf_;
};

// The text a device constructor throws for this serial, or "(opened)".
template <typename Device>
std::string openFailureOf(const std::string& serial)
{
    try {
        Device device(serial);
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "(opened)";
}

} // namespace veltrano::test
