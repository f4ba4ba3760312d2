// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfApi.h"

#include "device/PathFromUtf8.h"
#include "device/platform/ProcessEnvironment.h"

namespace veltrano::detail {
namespace {

#if defined(_WIN32)
constexpr const char* kNamesBesideExecutable[] = {"hackrf.dll", "libhackrf.dll"};
#else
constexpr const char* kNamesBesideExecutable[] = {"libhackrf.so.0", "libhackrf.so"};
// On POSIX systems the installed library lives where the system loader looks,
// so its soname is the last resort. The loader never searches the working
// directory, so this cannot pick up a stray file.
constexpr const char* kInstalledSoname = "libhackrf.so.0";
#endif

} // namespace

std::vector<std::filesystem::path> hackRfLibraryCandidates()
{
    std::vector<std::filesystem::path> candidates;
    if (const char* override = platform::narrowEnvironmentValue("BROMELT_HACKRF_LIBRARY")) {
        candidates.push_back(pathFromUtf8(override));
    }
    if (const auto directory = platform::executableDirectory()) {
        for (const char* name : kNamesBesideExecutable) {
            candidates.push_back(*directory / name);
        }
    }
#if !defined(_WIN32)
    candidates.emplace_back(kInstalledSoname);
#endif
    return candidates;
}

} // namespace veltrano::detail
