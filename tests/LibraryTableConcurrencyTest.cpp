// SPDX-License-Identifier: MIT
// The library tables are built by whichever thread asks first; threads that
// ask at the same moment must wait for that one build and then all see it.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

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

} // namespace
} // namespace veltrano
