// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfApi.h"

#include "device/PathFromUtf8.h"
#include "device/platform/ProcessEnvironment.h"

namespace veltrano::detail {
namespace {

#if defined(_WIN32)
constexpr const char* kNamesBesideExecutable[] = {"bladeRF.dll", "libbladeRF.dll", "libbladerf.dll"};
// The vendor's installer puts the 64-bit library under <Program Files>\bladeRF\x64.
constexpr const char* kInstallDirectoryVariables[] = {"ProgramW6432", "ProgramFiles"};
constexpr const char* kNamesInInstallDirectory[] = {"bladeRF.dll", "libbladeRF.dll"};
#else
constexpr const char* kNamesBesideExecutable[] = {"libbladeRF.so.2", "libbladeRF.so", "libbladerf.so"};
// The installed library lives where the system loader looks; its soname is the
// last resort. The loader never searches the working directory.
constexpr const char* kInstalledSoname = "libbladeRF.so.2";
#endif

} // namespace

std::vector<std::filesystem::path> bladeRfLibraryCandidates()
{
    std::vector<std::filesystem::path> candidates;
    if (const char* override = platform::narrowEnvironmentValue("BROMELT_BLADERF_LIBRARY")) {
        candidates.push_back(pathFromUtf8(override));
    }
    if (const auto directory = platform::executableDirectory()) {
        for (const char* name : kNamesBesideExecutable) {
            candidates.push_back(*directory / name);
        }
    }
#if defined(_WIN32)
    for (const char* variable : kInstallDirectoryVariables) {
        if (const auto programFiles = platform::environmentDirectory(variable)) {
            const auto directory = *programFiles / "bladeRF" / "x64";
            for (const char* name : kNamesInInstallDirectory) {
                candidates.push_back(directory / name);
            }
        }
    }
#else
    candidates.emplace_back(kInstalledSoname);
#endif
    return candidates;
}

} // namespace veltrano::detail
