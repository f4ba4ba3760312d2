// SPDX-License-Identifier: MIT
#include "hackrf/model/HackRfSyncWire.h"

#include <cmath>
#include <utility>
#include <vector>

namespace veltrano::sim::hackrf {

std::uint64_t sampleAt(std::int64_t ns, double rateHz)
{
    if (ns <= 0 || !(rateHz > 0.0)) {
        return 0;
    }
    return static_cast<std::uint64_t>(std::floor(static_cast<double>(ns) * rateHz / 1e9));
}

std::string syncedText(const SyncedStart& start)
{
    return "synced at " + std::to_string(start.ns) + " sample " + std::to_string(start.sample);
}

std::int64_t SyncWire::nowNs() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch_).count();
}

std::uint64_t SyncWire::await(std::string serial, Wake wake)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t ticket = nextTicket_++;
    waiting_.emplace(ticket, Waiter{std::move(serial), std::move(wake)});
    return ticket;
}

bool SyncWire::withdraw(std::uint64_t ticket)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.erase(ticket) > 0;
}

std::size_t SyncWire::pulse(const std::string& serial, std::int64_t& instantNs)
{
    std::vector<Wake> released;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        instantNs = nowNs();
        for (auto waiter = waiting_.begin(); waiter != waiting_.end();) {
            if (serial.empty() || waiter->second.serial == serial) {
                released.push_back(std::move(waiter->second.wake));
                waiter = waiting_.erase(waiter);
            } else {
                ++waiter;
            }
        }
    }
    // Woken outside the lock: a board's wake takes its stream's own lock,
    // which its stop holds while it withdraws.
    for (const Wake& wake : released) {
        wake(instantNs);
    }
    return released.size();
}

} // namespace veltrano::sim::hackrf
