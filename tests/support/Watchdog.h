// SPDX-License-Identifier: MIT
// Turns a hang into a failure that names what hung: a scenario still running
// when its limit passes ends the test process with the scenario's name on
// standard error, instead of leaving CTest to kill a silent process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace veltrano::test {

class Watchdog {
public:
    Watchdog(std::string scenario, std::chrono::seconds limit)
        : scenario_(std::move(scenario)), thread_([this, limit] { watch(limit); })
    {
    }

    ~Watchdog()
    {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_all();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void watch(std::chrono::seconds limit)
    {
        std::unique_lock lock(mutex_);
        if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "HANG: scenario \"%s\" did not finish within %lld s\n", scenario_.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }
    }

    std::string scenario_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::thread thread_; // last: it starts watching once everything above exists
};

} // namespace veltrano::test
