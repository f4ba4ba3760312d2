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
#include <stop_token>
#include <string>
#include <thread>

namespace veltrano::test {

class Watchdog {
public:
    Watchdog(const std::string& scenario, std::chrono::seconds limit)
        : thread_([scenario, limit](std::stop_token done) {
              std::mutex mutex;
              std::unique_lock lock(mutex);
              std::condition_variable_any().wait_for(lock, done, limit, [] { return false; });
              if (!done.stop_requested()) {
                  std::fprintf(stderr, "HANG: scenario \"%s\" did not finish within %lld s\n", scenario.c_str(),
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          })
    {
    }

private:
    std::jthread thread_; // its destruction, at the scenario's end, stops the watch and joins it
};

} // namespace veltrano::test
