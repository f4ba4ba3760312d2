// SPDX-License-Identifier: MIT
// The distribution's own libhackrf and libbladeRF, loaded the way a user's
// machine loads them. No board is attached here, so nothing is listed.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

namespace veltrano {
namespace {

using namespace veltrano::test;

#if defined(_WIN32)
constexpr bool kSystemLibrariesInstalled = false;
#else
constexpr bool kSystemLibrariesInstalled = true;
#endif

TEST(SystemLibraries, installedLibrariesLoadAndListNoBoards)
{
    if (!kSystemLibrariesInstalled) {
        GTEST_SKIP() << "the distribution's libraries are Linux shared objects";
    }
    const ScopedEnvironment hackRfOverride("BROMELT_HACKRF_LIBRARY", std::nullopt);
    const ScopedEnvironment bladeRfOverride("BROMELT_BLADERF_LIBRARY", std::nullopt);

    EXPECT_TRUE(hackRfLibraryAvailable());
    EXPECT_TRUE(enumerateHackRfDevices().empty());
    EXPECT_TRUE(bladeRfLibraryAvailable());
    EXPECT_TRUE(enumerateBladeRfDevices().empty());
}

TEST(SystemLibraries, probeOfBothFamiliesPrintsNothing)
{
    if (!kSystemLibrariesInstalled) {
        GTEST_SKIP() << "the distribution's libraries are Linux shared objects";
    }
    const ScopedEnvironment hackRfOverride("BROMELT_HACKRF_LIBRARY", std::nullopt);
    const ScopedEnvironment bladeRfOverride("BROMELT_BLADERF_LIBRARY", std::nullopt);
    for (const char* family : {"hackrf", "bladerf", "both"}) {
        const ProcessResult result = runProbe({family});
        EXPECT_EQ(result.exitStatus, 0) << family;
        EXPECT_EQ(result.standardOutput, "") << family;
        EXPECT_EQ(result.standardError, "") << family;
    }
}

} // namespace
} // namespace veltrano
