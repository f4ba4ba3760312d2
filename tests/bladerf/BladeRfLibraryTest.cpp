// SPDX-License-Identifier: MIT
// Finding and loading libbladeRF. Each test runs in a fresh process, so the
// table is built anew from the scenario the test sets up.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>

#include <tuple>

namespace veltrano {
namespace {

using namespace veltrano::test;

const std::string kOneBoard = "board serial=SN1 product=bladeRF_2.0\n";
const std::string kOneBoardRecord = "BLADERF\tSN1\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09\n";

// The first candidate that loads is used: a set override even with libraries
// beside the executable, and even when it lacks a required entry point (the
// search ends there, and it is not asked for boards); an empty or unloadable
// override falls through to the names beside the executable, in order. A
// library finds its own dependencies in its directory.
TEST(BladeRfLibrary, theFirstCandidateThatLoadsIsUsed)
{
    auto names = bladeRfNamesBesideExecutable();
#if defined(_WIN32)
    // "libbladerf.dll" is the same file as "libbladeRF.dll" on a case-insensitive file system.
    names.pop_back();
#endif
    const ProbeInstallation probe;
    const std::string other = "override-bladerf" + sharedLibrarySuffix();
    probe.addLibrary("sim-bladerf", other);
    for (const auto& name : names) {
        probe.addLibrary("sim-bladerf", name);
    }
    // The one library the probe loaded.
    const auto loadedWith = [&](const std::string& override, const std::string& output = kOneBoardRecord) {
        const ScopedEnvironment variable("BROMELT_BLADERF_LIBRARY", override);
        const SimulatorSession simulator("BLADERF", kOneBoard);
        EXPECT_EQ(probe.run({"bladerf"}), (ProcessResult{0, output, ""})) << override;
        EXPECT_EQ(simulator.calls("load").size(), 1u) << override;
        return simulator.loadedLibrary();
    };
    EXPECT_EQ(loadedWith(environmentText(probe.directory() / other)), other);
    EXPECT_EQ(loadedWith(environmentText(simulatedLibrary("sim-bladerf-no-sync-rx")), ""),
              "sim-bladerf-no-sync-rx" + sharedLibrarySuffix());
    const auto dependent = binaryDirectory() / "sim" / "dependent" / ("sim-bladerf-dependent" + sharedLibrarySuffix());
    EXPECT_EQ(loadedWith(environmentText(dependent)), dependent.filename().string());
    EXPECT_EQ(loadedWith(""), names.front());
    for (const auto& name : names) {
        EXPECT_EQ(loadedWith(environmentText(probe.directory() / "missing")), name);
        std::filesystem::remove(probe.directory() / name);
    }
}

class BladeRfReducedLibrary : public Simulation {};
// A library variant, its version script, and the metadata format it takes.
using VersionCase = std::tuple<const char*, const char*, std::int32_t>;
class BladeRfMetadataFormat : public Simulation, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(BladeRfMetadataFormat, followsTheLibraryVersion)
{
    const auto& [variant, script, metadataFormat] = GetParam();
    simulateBladeRf(script, variant);
    EXPECT_TRUE(bladeRfLibraryAvailable());
    EXPECT_EQ(bladeRfApi().metadataFormat, metadataFormat);
}

// 2.6.0 itself is the receive test's packed-metadata stream.
INSTANTIATE_TEST_SUITE_P(Versions, BladeRfMetadataFormat,
                         ::testing::Values(VersionCase{"sim-bladerf", "version 2 5 9\n", 1},
                                           VersionCase{"sim-bladerf", "version 3 0 0\n", 2},
                                           VersionCase{"sim-bladerf", "version 1 9 0\n", 1},
                                           VersionCase{"sim-bladerf-no-version", "version 3 0 0\n", 1}));

// A library without the live-control calls loads, and the device reports
// each of those controls absent rather than calling what is not there; the
// overall gain and the rate, whose calls are required, stay live.
TEST_F(BladeRfReducedLibrary, withoutTheLiveControlCallsThoseControlsAreAbsent)
{
    simulateBladeRf("board serial=A\n", "sim-bladerf-no-live-control");
    const BladeRfApi& api = bladeRfApi();
    ASSERT_TRUE(api.loaded);
    EXPECT_EQ(api.getGainStages, nullptr);
    EXPECT_EQ(api.setBiasTee, nullptr);
    BladeRfSdrDevice device("A");
    for (const StreamDirection direction : {StreamDirection::rx, StreamDirection::tx}) {
        EXPECT_TRUE(device.gainStages(direction).empty());
        EXPECT_EQ(device.overallGainRange(direction), std::nullopt);
        EXPECT_FALSE(device.setGainStage(direction, "full", 10.0));
        EXPECT_EQ(device.gainStageDb(direction, "full"), std::nullopt);
        EXPECT_EQ(device.gainDb(direction), std::nullopt);
        EXPECT_TRUE(device.bandwidthRangesHz(direction).empty());
        EXPECT_FALSE(device.setBandwidth(direction, 5e6));
        EXPECT_FALSE(device.supportsAutomaticGain(direction));
        EXPECT_FALSE(device.setAutomaticGain(direction, true));
        EXPECT_FALSE(device.supportsBiasTee(direction));
        EXPECT_FALSE(device.setBiasTee(direction, true));
        EXPECT_FALSE(device.biasTee(direction));
        EXPECT_TRUE(device.setGain(direction, 10.0));
        EXPECT_TRUE(device.setSampleRate(direction, 4e6));
    }
}

} // namespace
} // namespace veltrano
