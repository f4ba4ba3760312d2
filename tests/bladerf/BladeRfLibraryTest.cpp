// SPDX-License-Identifier: MIT
// Finding and loading libbladeRF. Each test runs in a fresh process, so the
// table is built anew from the scenario the test sets up.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/PathFromUtf8.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using namespace veltrano::test;
using ::testing::IsEmpty;

const std::string kOneBoard = "board serial=SN1 product=bladeRF_2.0\n";
const std::string kOneBoardRecord = "BLADERF\tSN1\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09\n";

// A set override is loaded even when a library sits next to the executable;
// an empty one is skipped.
TEST(BladeRfLibrary, aNonEmptyOverrideIsLoadedFirst)
{
    const ProbeInstallation probe;
    const std::string beside = bladeRfNamesBesideExecutable().front();
    const std::string other = "override-bladerf" + sharedLibrarySuffix();
    probe.addLibrary("sim-bladerf", beside);
    probe.addLibrary("sim-bladerf", other);
    const std::pair<std::string, std::string> cases[] = {{environmentText(probe.directory() / other), other},
                                                         {std::string(), beside}};
    for (const auto& [value, loaded] : cases) {
        const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", value);
        const SimulatorSession simulator("BLADERF", kOneBoard);
        EXPECT_EQ(probe.run({"bladerf"}).standardOutput, kOneBoardRecord);
        EXPECT_EQ(simulator.loadedLibrary(), loaded);
    }
}

TEST(BladeRfLibrary, namesNextToTheExecutableAreTriedInOrder)
{
    auto names = bladeRfNamesBesideExecutable();
#if defined(_WIN32)
    // "libbladerf.dll" is the same file as "libbladeRF.dll" on a case-insensitive file system.
    names.pop_back();
#endif
    const ProbeInstallation probe;
    for (const auto& name : names) {
        probe.addLibrary("sim-bladerf", name);
    }
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", environmentText(probe.directory() / "missing"));
    for (const auto& name : names) {
        const SimulatorSession simulator("BLADERF", kOneBoard);
        EXPECT_EQ(probe.run({"bladerf"}).standardOutput, kOneBoardRecord);
        EXPECT_EQ(simulator.loadedLibrary(), name);
        std::filesystem::remove(probe.directory() / name);
    }
}

TEST(BladeRfLibrary, aLibraryMissingARequiredEntryPointEndsTheSearch)
{
    const ProbeInstallation probe;
    probe.addLibrary("sim-bladerf", bladeRfNamesBesideExecutable().front());
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY",
                                     environmentText(simulatedLibrary("sim-bladerf-no-sync-rx")));
    const SimulatorSession simulator("BLADERF", kOneBoard);

    const ProcessResult result = probe.run({"bladerf"});

    EXPECT_EQ(result, (ProcessResult{0, "", ""}));
    // Only the incomplete library was ever loaded, and it was not asked for boards.
    EXPECT_EQ(simulator.loadedLibrary(), "sim-bladerf-no-sync-rx" + sharedLibrarySuffix());
    EXPECT_EQ(simulator.calls("load").size(), 1u);
    EXPECT_THAT(simulator.calls("bladerf_get_device_list"), IsEmpty());
}

TEST(BladeRfLibrary, candidatesAreOverrideThenExecutableDirectoryThenInstallLocation)
{
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", "/opt/bladerf-override");
    const auto candidates = detail::bladeRfLibraryCandidates();

    std::vector<std::filesystem::path> expected{detail::pathFromUtf8("/opt/bladerf-override")};
    for (const auto& name : bladeRfNamesBesideExecutable()) {
        expected.push_back(binaryDirectory() / name);
    }
#if defined(_WIN32)
    for (const char* variable : {"ProgramW6432", "ProgramFiles"}) {
        if (const char* programFiles = std::getenv(variable)) {
            const auto directory = std::filesystem::path(programFiles) / "bladeRF" / "x64";
            expected.push_back(directory / "bladeRF.dll");
            expected.push_back(directory / "libbladeRF.dll");
        }
    }
#else
    expected.emplace_back("libbladeRF.so.2");
#endif
    EXPECT_EQ(candidates, expected);
}

#if !defined(_WIN32)
TEST(BladeRfLibrary, installedLibraryIsFoundThroughTheSystemLoader)
{
    const TemporaryDirectory systemDirectory;
    std::filesystem::copy_file(simulatedLibrary("sim-bladerf"), systemDirectory / "libbladeRF.so.2");
    const ScopedEnvironment searchPath("LD_LIBRARY_PATH", systemDirectory.path().string());
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", std::nullopt);
    const SimulatorSession simulator("BLADERF", kOneBoard);
    const ProbeInstallation probe;

    EXPECT_EQ(probe.run({"bladerf"}).standardOutput, kOneBoardRecord);
    EXPECT_EQ(simulator.loadedLibrary(), "libbladeRF.so.2");
}
#endif

TEST(BladeRfLibrary, aLibraryFindsItsOwnDependencyInItsDirectory)
{
    const ScopedEnvironment override(
        "BROMELT_BLADERF_LIBRARY",
        environmentText(binaryDirectory() / "sim" / "dependent" / ("sim-bladerf-dependent" + sharedLibrarySuffix())));
    const SimulatorSession simulator("BLADERF", kOneBoard);
    EXPECT_TRUE(bladeRfLibraryAvailable());
    EXPECT_EQ(enumerateBladeRfDevices().size(), 1u);
}

class BladeRfLibraryTable : public Simulation {};

// What each missing optional entry point costs is tested where it is used;
// here only that the library still loads and lists its boards.
TEST_F(BladeRfLibraryTable, missingOptionalEntryPointsStillLoad)
{
    for (const char* variant : {"sim-bladerf-no-quick-tune", "sim-bladerf-no-strerror", "sim-bladerf-no-sync-tx"}) {
        simulateBladeRf(kOneBoard, variant);
        EXPECT_EQ(runProbe({"bladerf"}).standardOutput, kOneBoardRecord) << variant;
    }
}

TEST_F(BladeRfLibraryTable, missingRequiredEntryPointBehavesAsNoLibraryEvenWhenALibraryIsFoundLater)
{
    simulateBladeRf(kOneBoard, "sim-bladerf-no-sync-rx");
    EXPECT_FALSE(bladeRfLibraryAvailable());
    EXPECT_EQ(bladeRfApi().module, nullptr);
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    simulateBladeRf(kOneBoard);
    EXPECT_FALSE(bladeRfLibraryAvailable());
    EXPECT_THAT(enumerateBladeRfDevices(), IsEmpty());
    EXPECT_THAT(bladeRf().journal(), IsEmpty());
}

struct VersionCase {
    const char* variant;
    const char* script;
    std::int32_t metadataFormat;
};

class BladeRfMetadataFormat : public Simulation, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(BladeRfMetadataFormat, followsTheLibraryVersion)
{
    simulateBladeRf(GetParam().script, GetParam().variant);
    EXPECT_TRUE(bladeRfLibraryAvailable());
    EXPECT_EQ(bladeRfApi().metadataFormat, GetParam().metadataFormat);
}

INSTANTIATE_TEST_SUITE_P(Versions, BladeRfMetadataFormat,
                         ::testing::Values(VersionCase{"sim-bladerf", "version 2 5 9\n", 1},
                                           VersionCase{"sim-bladerf", "version 2 6 0\n", 2},
                                           VersionCase{"sim-bladerf", "version 3 0 0\n", 2},
                                           VersionCase{"sim-bladerf", "version 1 9 0\n", 1},
                                           VersionCase{"sim-bladerf-no-version", "version 3 0 0\n", 1}));

} // namespace
} // namespace veltrano
