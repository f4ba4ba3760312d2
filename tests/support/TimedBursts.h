// SPDX-License-Identifier: MIT
// Timed bursts scheduled while receive runs, shared by the simulated and the
// real-library bladeRF tests.
#pragma once

#include "device/ISdrDevice.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace veltrano::test {

// Writes count bursts of the same samples spacingNs apart from firstNs on,
// each with its end mark, while a reader thread keeps the receive stream
// going; returns the outcomes the device reported within a generous bound.
inline std::vector<TxEvent> burstsWhileReceiving(ISdrDevice& device, const std::vector<std::int16_t>& values,
                                                 std::int64_t firstNs, std::int64_t spacingNs, int count)
{
    const std::jthread reader([&device](std::stop_token stop) {
        std::vector<std::int16_t> received(2 * 4096);
        while (!stop.stop_requested()) {
            if (device.readNativeSamples(received.data(), 4096) == 0) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<TxEvent> events;
    for (int burst = 0; burst < count; ++burst) {
        if (device.writeNativeBurst(values.data(), values.size() / 2, {true, firstNs + burst * spacingNs, true}) == 0) {
            break;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (static_cast<int>(events.size()) < count && std::chrono::steady_clock::now() < deadline) {
        if (const std::optional<TxEvent> event = device.nextTxEvent()) {
            events.push_back(*event);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return events;
}

} // namespace veltrano::test
