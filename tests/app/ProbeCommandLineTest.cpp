// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace veltrano {
namespace {

using test::runProbe;

class ProbeCommandLine : public ::testing::TestWithParam<std::vector<std::string>> {};

// Anything but exactly one of the three words is refused with status 64 and
// not one byte of output: scripts tell a usage error by the status alone.
TEST_P(ProbeCommandLine, isRefusedSilently)
{
    EXPECT_EQ(runProbe(GetParam()), (test::ProcessResult{64, "", ""}));
}

INSTANTIATE_TEST_SUITE_P(WrongArguments, ProbeCommandLine,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"hackrf", "bladerf"},
                                           std::vector<std::string>{"both", "both"}, std::vector<std::string>{""},
                                           std::vector<std::string>{"HACKRF"}, std::vector<std::string>{"Hackrf"},
                                           std::vector<std::string>{"BladeRF"}, std::vector<std::string>{"BOTH"},
                                           std::vector<std::string>{"hackrf "}, std::vector<std::string>{"all"},
                                           std::vector<std::string>{"--help"}));

} // namespace
} // namespace veltrano
