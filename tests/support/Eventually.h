// SPDX-License-Identifier: MIT
// Waiting for something another thread (a stream, a simulator, a library)
// brings about, without turning a fault into a hang.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace veltrano::test {

// Polls until the condition holds; false after a generous time-out.
inline bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace veltrano::test
