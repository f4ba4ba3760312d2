// SPDX-License-Identifier: MIT
// The library tables. They are built by whichever thread asks first; threads
// that ask at the same moment must wait for that one build and then all see
// it. And the distribution's own libhackrf and libbladeRF load the way a
// user's machine loads them (no board is attached here, so nothing is listed).
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "device/PathFromUtf8.h"
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

using namespace veltrano::test;

constexpr int kThreads = 8;

class ConcurrentFirstUse : public test::Simulation {};

TEST_F(ConcurrentFirstUse, eachTableIsBuiltOnceAndSeenByEveryThread)
{
    simulateHackRf("board A\nboard B\n");
    simulateBladeRf("board serial=A\n");
    std::vector<std::string> seen(kThreads);
    std::vector<const HackRfApi*> tablesSeen(kThreads);
    {
        // All threads start, then are released together so their first calls race.
        std::atomic<bool> go{false};
        std::vector<std::jthread> threads;
        for (int index = 0; index < kThreads; ++index) {
            threads.emplace_back([&, index] {
                while (!go.load(std::memory_order_acquire)) {
                    std::this_thread::yield();
                }
                tablesSeen[index] = &hackRfApi();
                seen[index] = std::to_string(enumerateHackRfDevices().size()) + "/" +
                              std::to_string(enumerateBladeRfDevices().size());
            });
        }
        go.store(true, std::memory_order_release);
    }
    for (int index = 0; index < kThreads; ++index) {
        EXPECT_EQ(tablesSeen[index], &hackRfApi());
        EXPECT_EQ(seen[index], "2/1");
    }
    EXPECT_EQ(hackRf().calls("hackrf_init").size(), 1u);
    EXPECT_EQ(bladeRf().calls("bladerf_version").size(), 1u);
    EXPECT_EQ(bladeRf().calls("load").size(), 1u);
}

// A set override heads the candidates, whatever its bytes; then come the names
// beside the executable and the installed soname (found through the system
// loader by the test below; the Windows install locations are the Windows test's).
TEST(LibraryCandidates, areTheOverrideThenExecutableDirectoryNamesThenTheInstalledName)
{
    const struct {
        const char* variable;
        std::vector<std::filesystem::path> (*candidates)();
        std::vector<std::string> names;
        const char* installed;
        bool moreOnWindows;
    } families[] = {
        {"BROMELT_HACKRF_LIBRARY", detail::hackRfLibraryCandidates, hackRfNamesBesideExecutable(), "libhackrf.so.0",
         false},
        {"BROMELT_BLADERF_LIBRARY", detail::bladeRfLibraryCandidates, bladeRfNamesBesideExecutable(), "libbladeRF.so.2",
         true},
    };
    for (const auto& family : families) {
        const ScopedEnvironment override(family.variable, "/some/where/override");
        auto candidates = family.candidates();
        std::vector<std::filesystem::path> expected{detail::pathFromUtf8("/some/where/override")};
        for (const auto& name : family.names) {
            expected.push_back(binaryDirectory() / name);
        }
#if defined(_WIN32)
        if (family.moreOnWindows) {
            candidates.resize(expected.size());
        }
#else
        expected.emplace_back(family.installed);
        const std::string nonUtf8 = "/tmp/caf\xe9/lib";
        const ScopedEnvironment bytes(family.variable, nonUtf8);
        EXPECT_EQ(family.candidates().front().string(), nonUtf8);
#endif
        EXPECT_EQ(candidates, expected) << family.variable;
    }
}

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
