// SPDX-License-Identifier: MIT
#pragma once

// The hardware sync wire between HackRF boards: the first board's sync
// output (header P28 pin 15) cabled to every board's sync input (pin 16).
// A board the host put in sync mode takes its start request but moves no
// sample until a pulse arrives; the first board pulses the wire when it
// starts streaming, and a test may pulse it (or one board's input) as an
// external source would. Every board on one wire counts time from the
// wire's epoch, so the boards' journals can be compared instant for instant.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace veltrano::sim::hackrf {

// Where a synced stream starts: the pulse's instant after the wire's epoch
// and the board's own sample at that instant.
struct SyncedStart {
    std::int64_t ns = 0;
    std::uint64_t sample = 0;
};

// The sample a board running at rateHz has reached ns after the epoch.
std::uint64_t sampleAt(std::int64_t ns, double rateHz);
// The journal's words for a synced start: "synced at <ns> sample <n>".
std::string syncedText(const SyncedStart& start);

class SyncWire {
public:
    using Clock = std::chrono::steady_clock;
    // Runs on the pulsing thread with the pulse's instant.
    using Wake = std::function<void(std::int64_t ns)>;

    SyncWire() : epoch_(Clock::now()) {}

    std::int64_t nowNs() const;
    // A board with this serial waits for the next pulse; returns its ticket.
    std::uint64_t await(std::string serial, Wake wake);
    // The board stops waiting (its stream stopped first); false when a pulse
    // has released it already.
    bool withdraw(std::uint64_t ticket);
    // A pulse on the wire (serial empty) or on one board's input: releases
    // the boards waiting there and returns how many; instantNs gets the pulse's time.
    std::size_t pulse(const std::string& serial, std::int64_t& instantNs);

private:
    struct Waiter {
        std::string serial;
        Wake wake;
    };
    const Clock::time_point epoch_;
    std::mutex mutex_;
    std::map<std::uint64_t, Waiter> waiting_;
    std::uint64_t nextTicket_ = 1;
};

} // namespace veltrano::sim::hackrf
