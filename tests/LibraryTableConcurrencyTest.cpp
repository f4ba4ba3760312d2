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

// Starts all threads, then releases them together so their first calls race.
template <typename Work>
void raceFromManyThreads(Work work)
{
    std::atomic<bool> go{false};
    std::vector<std::jthread> threads;
    for (int index = 0; index < kThreads; ++index) {
        threads.emplace_back([&, index] {
            while (!go.load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            work(index);
        });
    }
    go.store(true, std::memory_order_release);
}

class ConcurrentFirstUse : public test::Simulation {};

TEST_F(ConcurrentFirstUse, hackRfTableIsBuiltOnceAndSeenByEveryThread)
{
    simulateHackRf("board A\nboard B\n");
    std::vector<std::size_t> boardsSeen(kThreads);
    std::vector<const HackRfApi*> tablesSeen(kThreads);
    raceFromManyThreads([&](int index) {
        tablesSeen[index] = &hackRfApi();
        boardsSeen[index] = enumerateHackRfDevices().size();
    });
    for (int index = 0; index < kThreads; ++index) {
        EXPECT_EQ(tablesSeen[index], &hackRfApi());
        EXPECT_EQ(boardsSeen[index], 2u);
    }
    EXPECT_EQ(hackRf().calls("hackrf_init").size(), 1u);
}

TEST_F(ConcurrentFirstUse, bladeRfTableIsBuiltOnceAndSeenByEveryThread)
{
    simulateBladeRf("board serial=A\n");
    std::vector<std::size_t> boardsSeen(kThreads);
    raceFromManyThreads([&](int index) { boardsSeen[index] = enumerateBladeRfDevices().size(); });
    for (const std::size_t boards : boardsSeen) {
        EXPECT_EQ(boards, 1u);
    }
    EXPECT_EQ(bladeRf().calls("bladerf_version").size(), 1u);
    EXPECT_EQ(bladeRf().calls("load").size(), 1u);
}

} // namespace
} // namespace veltrano
