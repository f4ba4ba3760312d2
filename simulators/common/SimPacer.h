// SPDX-License-Identifier: MIT
#pragma once

// Real-time pace of a simulated receive stream: a board hands out samples at
// its sample rate, so sample n of a stream is complete n / rate seconds after
// the stream began. A stream asks when its next samples are due and waits
// until then; a reader that fell behind gets the backlog at once, so the
// average rate stays the configured one, but a backlog older than a quarter of
// a second is forgiven (the clock starts afresh), as after a long pause.

#include "SampleClock.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

namespace veltrano::sim {

class SamplePacer {
public:
    using Clock = SampleClock::Clock;

    // The time at which `samples` more samples at rateHz are complete. The
    // first call starts the clock; a rate that is not positive is due at once.
    Clock::time_point dueAfter(std::uint64_t samples, double rateHz)
    {
        const Clock::time_point now = Clock::now();
        if (!clock_ || now - clock_->timeOf(paced_) > kLongestBacklog) {
            clock_.emplace(now, rateHz > 0.0 ? rateHz : clock_ ? clock_->rateHz() : 1.0);
            paced_ = 0;
        }
        if (rateHz > 0.0) {
            // A new rate paces the samples from those already due on.
            clock_->setRate(rateHz, clock_->timeOf(paced_));
            paced_ += samples;
        }
        return clock_->timeOf(paced_);
    }

    // Samples complete at `now` beyond those the last call made due: how far
    // a reader is behind the board (0 before the clock starts).
    std::uint64_t lateSamples(Clock::time_point now, double rateHz) const
    {
        if (!clock_ || !(rateHz > 0.0) || now <= clock_->timeOf(paced_)) {
            return 0;
        }
        return static_cast<std::uint64_t>(std::chrono::duration<double>(now - clock_->timeOf(paced_)).count() * rateHz);
    }

    // The longest backlog a late reader still gets.
    static constexpr std::chrono::milliseconds longestBacklog() { return kLongestBacklog; }

    // Sleeps until `due`. A sleep may end a little early (Windows timers do,
    // under Wine by up to a millisecond), and no sample may come before its time.
    static void sleepUntil(Clock::time_point due)
    {
        while (Clock::now() < due) {
            std::this_thread::sleep_until(due);
        }
    }

    // The next stream starts its own clock.
    void restart() { clock_.reset(); }

private:
    static constexpr std::chrono::milliseconds kLongestBacklog{250};

    std::optional<SampleClock> clock_; // started by the stream's first samples
    std::uint64_t paced_ = 0;          // samples made due so far
};

} // namespace veltrano::sim
