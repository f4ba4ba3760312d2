// SPDX-License-Identifier: MIT
// Finding, loading and initialising libhackrf. Each test runs in a fresh
// process, so the table is built anew from the scenario the test sets up.
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using namespace veltrano::test;
using ::testing::ElementsAre;

const std::string kOneBoard = "board SN1\n";

// The first candidate that loads wins (a set override heads the candidates,
// below): an empty or unloadable override falls through to the names next to
// the executable, in order.
TEST(HackRfLibrary, emptyOrUnloadableOverrideFallsThroughToTheNamesNextToTheExecutableInOrder)
{
    const auto names = hackRfNamesBesideExecutable();
    const ProbeInstallation probe;
    for (const auto& name : names) {
        probe.addLibrary("sim-hackrf", name);
    }
    for (const auto& name : names) {
        for (const std::string& value : {std::string(), environmentText(probe.directory() / "missing-library")}) {
            const ScopedEnvironment override("BROMELT_HACKRF_LIBRARY", value);
            const SimulatorSession simulator("HACKRF", kOneBoard);
            EXPECT_EQ(probe.run({"hackrf"}).standardOutput, "HACKRF\tSN1\tSN1\t2e+07\t1e+06\t6e+09\n");
            EXPECT_EQ(simulator.loadedLibrary(), name) << value;
        }
        std::filesystem::remove(probe.directory() / name);
    }
}

class HackRfLibraryTable : public Simulation {};

// A table built once and shared by every thread is pinned by the library-table
// concurrency test, a failing hackrf_init by the lifetime test below, a missing
// optional entry point by the sweep support test, and the library's error names
// with their decimal fallback (a code it does not name) by the device's open failures.
TEST_F(HackRfLibraryTable, missingRequiredEntryPointBehavesAsNoLibrary)
{
    simulateHackRf(kOneBoard, "sim-hackrf-no-amp-enable");
    const HackRfApi& api = hackRfApi();
    EXPECT_FALSE(api.loaded);
    EXPECT_FALSE(api.initialized);
    EXPECT_EQ(api.module, nullptr);
    EXPECT_TRUE(enumerateHackRfDevices().empty());
    EXPECT_EQ(openFailureOf<HackRfSdrDevice>("SN1"), "HackRF library is not available");
    // Not even hackrf_init was called on the incomplete library.
    EXPECT_TRUE(hackRf().journal().empty());
}

// A library without the antenna port's power switch drives the board
// without it: the capability is absent and asking for it is refused.
TEST_F(HackRfLibraryTable, missingAntennaPowerEntryPointLeavesTheBiasTeeAbsent)
{
    simulateHackRf(kOneBoard, "sim-hackrf-no-antenna-enable");
    ASSERT_TRUE(hackRfLibraryAvailable());
    EXPECT_EQ(hackRfApi().setAntennaEnable, nullptr);
    HackRfSdrDevice device("SN1");
    for (const StreamDirection direction : {StreamDirection::rx, StreamDirection::tx}) {
        EXPECT_FALSE(device.supportsBiasTee(direction));
        EXPECT_FALSE(device.setBiasTee(direction, true));
        EXPECT_FALSE(device.biasTee(direction));
    }
    EXPECT_EQ(device.lastError(), "HackRF antenna port power is unavailable; update libhackrf");
    EXPECT_TRUE(device.setGainStage(StreamDirection::rx, "LNA", 8));
}

TEST_F(HackRfLibraryTable, errorTextWithoutTheNamingEntryPoint)
{
    simulateHackRf(kOneBoard, "sim-hackrf-no-error-name");
    ASSERT_TRUE(hackRfLibraryAvailable());
    EXPECT_EQ(hackRfApi().error(-1000), "HackRF error -1000");
}

// libhackrf is initialised at most once and shut down at exit only when
// initialising worked; a probe run shows the whole life of the table.
TEST(HackRfLibraryLifetime, exitIsCalledOnceAtProcessExitAfterEveryBoardIsClosedButNeverWhenInitFailed)
{
    const ScopedEnvironment override("BROMELT_HACKRF_LIBRARY", environmentText(simulatedLibrary("sim-hackrf")));
    const SimulatorSession simulator("HACKRF", "board A\nboard B\n");
    ASSERT_EQ(runProbe({"hackrf"}).exitStatus, 0);
    const auto journal = simulator.journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), "hackrf_exit");
    EXPECT_EQ(simulator.calls("hackrf_exit").size(), 1u);
    EXPECT_EQ(simulator.calls("hackrf_init").size(), 1u);
    EXPECT_EQ(simulator.calls("hackrf_close").size(), 2u);

    const SimulatorSession failing("HACKRF", "init -1000\nboard A\n");
    EXPECT_EQ(runProbe({"hackrf"}), (ProcessResult{0, "", ""}));
    EXPECT_THAT(failing.journal(), ElementsAre(::testing::StartsWith("load "), "hackrf_init -> -1000"));
}

} // namespace
} // namespace veltrano
