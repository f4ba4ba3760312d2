// SPDX-License-Identifier: MIT
// What a fault scenario holds its client to: each call it makes is timed and
// the longest kept, so the scenario can check them against its bound; a wait
// for a condition gives up instead of hanging; and no thread the scenario
// started (the library's included) may outlive it.
#pragma once

#include "tests/support/Eventually.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <thread>

namespace veltrano::test {

using Clock = std::chrono::steady_clock;

// The longest call a client made; `timed` runs one.
struct CallTimes {
    Clock::duration longest{};

    template <typename F>
    auto timed(F call)
    {
        struct Record {
            Clock::duration& longest;
            Clock::time_point start = Clock::now();
            ~Record() { longest = std::max(longest, Clock::now() - start); }
        } record{longest};
        return call();
    }
};

// Threads of the process now. A joined thread can still be listed for a
// moment: its joiner wakes when the thread clears its id, before it has
// finished exiting, and under qemu-user (which lists its own host threads)
// that moment is long enough to be seen. So the count is read until two
// readings a little apart agree; a thread that stays is still counted.
inline std::size_t threadCount()
{
    // ThreadSanitizer starts a helper thread of its own along with the
    // process's first thread; start that first thread before counting.
    [[maybe_unused]] static const bool warmedUp = (std::thread([] {}).join(), true);
    const auto listed = [] {
        const std::filesystem::directory_iterator tasks("/proc/self/task");
        return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
    };
    std::size_t count = listed();
    for (int reading = 0; reading < 100; ++reading) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::size_t again = listed();
        if (again == count) {
            break;
        }
        count = again;
    }
    return count;
}

} // namespace veltrano::test
