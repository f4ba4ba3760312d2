// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace veltrano {
namespace {

// Anything but exactly one of the three words is refused with status 64 and
// not one byte of output: scripts tell a usage error by the status alone.
TEST(ProbeCommandLine, wrongArgumentsAreRefusedSilently)
{
    const std::vector<std::vector<std::string>> wrong{
        {},       {"hackrf", "bladerf"}, {"both", "both"}, {""},      {"HACKRF"}, {"BladeRF"},
        {"BOTH"}, {"hackrf "},           {"all"},          {"--help"}};
    for (const auto& arguments : wrong) {
        EXPECT_EQ(test::runProbe(arguments), (test::ProcessResult{64, "", ""})) << arguments.size();
    }
}

} // namespace
} // namespace veltrano
