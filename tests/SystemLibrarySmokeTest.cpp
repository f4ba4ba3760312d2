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

TEST(SystemLibraries, installedLibrariesLoadListNoBoardsAndTheProbePrintsNothing)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the distribution's libraries are Linux shared objects";
#endif
    const ScopedEnvironment hackRfOverride("BROMELT_HACKRF_LIBRARY", std::nullopt);
    const ScopedEnvironment bladeRfOverride("BROMELT_BLADERF_LIBRARY", std::nullopt);

    EXPECT_TRUE(hackRfLibraryAvailable());
    EXPECT_TRUE(enumerateHackRfDevices().empty());
    EXPECT_TRUE(bladeRfLibraryAvailable());
    EXPECT_TRUE(enumerateBladeRfDevices().empty());
    for (const char* family : {"hackrf", "bladerf", "both"}) {
        EXPECT_EQ(runProbe({family}), (ProcessResult{0, "", ""})) << family;
    }
}

} // namespace
} // namespace veltrano
