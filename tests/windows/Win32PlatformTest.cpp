// SPDX-License-Identifier: MIT
// What only the Windows build does: code-page decoding of the override
// variables, the Program Files install location, and thread priority.
#include "device/bladerf/BladeRfApi.h"
#include "device/hackrf/HackRfApi.h"
#include "device/platform/ProcessEnvironment.h"
#include "device/platform/ThreadPriority.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace veltrano {
namespace {

using namespace veltrano::test;

// "café" as UTF-8 and in code page 1252, the ANSI code page Wine and a
// western-European Windows use: an override that is not valid UTF-8 is
// decoded in the ANSI code page.
const std::string kUtf8Name = "caf\xc3\xa9";
const std::string kAnsiName = "caf\xe9";
const std::wstring kWideName = L"caf\u00e9";

class Win32NonAsciiOverride : public ::testing::TestWithParam<std::string> {};

TEST_P(Win32NonAsciiOverride, loadsTheLibraryInANonAsciiDirectory)
{
    ASSERT_EQ(GetACP(), 1252u) << "the ANSI case is written for code page 1252";
    const TemporaryDirectory scratch;
    const std::filesystem::path directory = scratch.path() / kWideName;
    std::filesystem::create_directories(directory);
    std::filesystem::copy_file(simulatedLibrary("sim-hackrf"), directory / "hackrf.dll");

    // The variable holds the scratch path (plain ASCII) and the non-ASCII
    // directory name in the encoding under test.
    const std::string text = environmentText(scratch.path()) + "\\" + GetParam() + "\\hackrf.dll";
    const ScopedEnvironment override("BROMELT_HACKRF_LIBRARY", text);
    const SimulatorSession simulator("HACKRF", "board A\n");

    EXPECT_TRUE(hackRfLibraryAvailable());
    EXPECT_EQ(simulator.calls("load"), std::vector<std::string>{"load hackrf.dll"});
}

INSTANTIATE_TEST_SUITE_P(Encodings, Win32NonAsciiOverride, ::testing::Values(kUtf8Name, kAnsiName));

TEST(Win32BladeRfInstallLocation, theVendorsProgramFilesDirectoryIsSearched)
{
    const auto programFiles = platform::environmentDirectory("ProgramW6432");
    ASSERT_TRUE(programFiles.has_value());
    const std::filesystem::path vendorDirectory = *programFiles / "bladeRF";
    std::filesystem::create_directories(vendorDirectory / "x64");
    std::filesystem::copy_file(simulatedLibrary("sim-bladerf"), vendorDirectory / "x64" / "libbladeRF.dll",
                               std::filesystem::copy_options::overwrite_existing);
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", std::nullopt);
    const SimulatorSession simulator("BLADERF", "board serial=PF1\n");

    // A child process, so that the library is unloaded again before it is removed.
    const ProcessResult result = runProbe({"bladerf"});
    std::error_code ignored;
    std::filesystem::remove_all(vendorDirectory, ignored);

    EXPECT_EQ(result.standardOutput, "BLADERF\tPF1\tNuand bladeRF\t6.144e+07\t7e+07\t6e+09\n");
    EXPECT_EQ(simulator.calls("load"), std::vector<std::string>{"load libbladeRF.dll"});
}

// Both Program Files variables are candidates, in order; an unset one
// contributes nothing.
TEST(Win32BladeRfInstallLocation, eachSetProgramFilesVariableIsACandidateInOrder)
{
    const ScopedEnvironment override("BROMELT_BLADERF_LIBRARY", std::nullopt);
    const ScopedEnvironment programFiles("ProgramFiles", "E:\\Programs");
    const std::vector<std::filesystem::path> fromProgramFiles{"E:\\Programs\\bladeRF\\x64\\bladeRF.dll",
                                                              "E:\\Programs\\bladeRF\\x64\\libbladeRF.dll"};
    {
        const ScopedEnvironment programW6432("ProgramW6432", std::nullopt);
        const auto candidates = detail::bladeRfLibraryCandidates();
        ASSERT_EQ(candidates.size(), 3u + 2u);
        EXPECT_EQ(std::vector(candidates.end() - 2, candidates.end()), fromProgramFiles);
    }
    const ScopedEnvironment programW6432("ProgramW6432", "D:\\Programs64");
    const auto candidates = detail::bladeRfLibraryCandidates();
    ASSERT_GE(candidates.size(), 4u);
    EXPECT_EQ(std::vector(candidates.end() - 4, candidates.end() - 2),
              (std::vector<std::filesystem::path>{"D:\\Programs64\\bladeRF\\x64\\bladeRF.dll",
                                                  "D:\\Programs64\\bladeRF\\x64\\libbladeRF.dll"}));
    EXPECT_EQ(std::vector(candidates.end() - 2, candidates.end()), fromProgramFiles);
}

TEST(Win32ThreadPriority, theCallingThreadRunsAtHighestPriority)
{
    platform::raiseCurrentThreadPriority();
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
}

} // namespace
} // namespace veltrano
