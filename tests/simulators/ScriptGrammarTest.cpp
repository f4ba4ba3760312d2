// SPDX-License-Identifier: MIT
// Both simulated libraries read one grammar of faults, unplugs and opens,
// and the spellings their scripts had before it: each row is a script and
// what a client then sees (boards listed; the open; four retunes, each to a
// new frequency so that every one reaches the library; a second open after
// the first device is gone), the same for a rule in either spelling.
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace veltrano {
namespace {

struct GrammarCase {
    const char* name;
    bool hackRf;
    const char* rules; // after the line that makes board A
    const char* seen;  // "<boards> <open> <retunes> <open again>", 1 for success
};

template <typename Device>
std::string openAndRetune()
{
    try {
        Device device("A");
        std::string retunes;
        for (int retune = 1; retune <= 4; ++retune) {
            retunes += device.setRxFrequency(100e6 + retune * 1e6) ? "1" : "0";
        }
        return "1 " + retunes;
    } catch (const std::runtime_error&) {
        return "0 -";
    }
}

template <typename Device>
std::string opensAgain()
{
    try {
        Device device("A");
        return "1";
    } catch (const std::runtime_error&) {
        return "0";
    }
}

class ScriptGrammar : public test::Simulation, public ::testing::WithParamInterface<GrammarCase> {};

TEST_P(ScriptGrammar, eachSpellingOfARuleDoesWhatItSays)
{
    const GrammarCase& row = GetParam();
    // One step after another: the operands of + have no order of their own.
    std::string seen;
    if (row.hackRf) {
        simulateHackRf(std::string("board A\n") + row.rules);
        seen = std::to_string(enumerateHackRfDevices().size()) + " ";
        seen += openAndRetune<HackRfSdrDevice>() + " ";
        seen += opensAgain<HackRfSdrDevice>();
    } else {
        simulateBladeRf(std::string("board serial=A\n") + row.rules);
        seen = std::to_string(enumerateBladeRfDevices().size()) + " ";
        seen += openAndRetune<BladeRfSdrDevice>() + " ";
        seen += opensAgain<BladeRfSdrDevice>();
    }
    EXPECT_EQ(seen, row.seen) << row.rules;
}

INSTANTIATE_TEST_SUITE_P(
    BothFamilies, ScriptGrammar,
    ::testing::Values(
        GrammarCase{"hackrfNothing", true, "", "1 1 1111 1"},
        GrammarCase{"hackrfEveryCall", true, "fail hackrf_set_freq -1000\n", "1 1 0000 1"},
        GrammarCase{"hackrfFirstCalls", true, "fail hackrf_set_freq -1000 calls 1-2\n", "1 1 0011 1"},
        GrammarCase{"hackrfFirstCallsOld", true, "fail hackrf_set_freq -1000 2\n", "1 1 0011 1"},
        GrammarCase{"hackrfOneCall", true, "fail hackrf_set_freq -1000 calls 2\n", "1 1 1011 1"},
        GrammarCase{"hackrfLaterCalls", true, "fail hackrf_set_freq timeout calls 3+\n", "1 1 1100 1"},
        GrammarCase{"hackrfLaterLineWins", true, "fail hackrf_set_freq -1000\nfail hackrf_set_freq 0 calls 4\n",
                    "1 1 0001 1"},
        GrammarCase{"hackrfUnplugAtACall", true, "unplug at hackrf_set_freq 3 -1000\n", "1 1 1100 1"},
        GrammarCase{"hackrfUnplugAfterOpens", true, "unplug after-opens 1\n", "1 1 1111 0"},
        GrammarCase{"hackrfUnplugAfterOpensOld", true, "unplug-after-opens 1\n", "1 1 1111 0"},
        GrammarCase{"hackrfOpenNull", true, "open-null A\n", "1 0 - 0"},
        GrammarCase{"hackrfOpenNullOld", true, "open-null-handle A\n", "1 0 - 0"},
        GrammarCase{"hackrfOpenResult", true, "open -5 A\n", "1 0 - 0"},
        GrammarCase{"hackrfList", true, "list 0\n", "0 1 1111 1"},
        GrammarCase{"hackrfListOld", true, "count 0\n", "0 1 1111 1"},
        GrammarCase{"bladerfNothing", false, "", "1 1 1111 1"},
        GrammarCase{"bladerfFirstCalls", false, "fail bladerf_set_frequency -2 calls 1-2\n", "1 1 0011 1"},
        GrammarCase{"bladerfLaterCalls", false, "fail bladerf_set_frequency -2 calls 3+\n", "1 1 1100 1"},
        GrammarCase{"bladerfLaterCallsOld", false, "fail bladerf_set_frequency 3+ -2\n", "1 1 1100 1"},
        GrammarCase{"bladerfOneCallOld", false, "fail bladerf_set_frequency 2 timeout\n", "1 1 1011 1"},
        GrammarCase{"bladerfUnplugAtACall", false, "unplug at bladerf_set_frequency 3 -7\n", "1 1 1100 1"},
        GrammarCase{"bladerfUnplugAtACallOld", false, "unplug bladerf_set_frequency 3 -7\n", "1 1 1100 1"},
        GrammarCase{"bladerfUnplugAfterOpens", false, "unplug after-opens 1\n", "1 1 1111 0"},
        GrammarCase{"bladerfOpenNull", false, "open-null *:serial=A\n", "1 0 - 0"},
        GrammarCase{"bladerfOpenNullOld", false, "open-null-device *:serial=A\n", "1 0 - 0"},
        GrammarCase{"bladerfList", false, "list 0\n", "0 1 1111 1"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
