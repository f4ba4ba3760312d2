// SPDX-License-Identifier: MIT
#pragma once

// The one sample clock every simulated and emulated board counts by: a
// sample counter that runs at the programmed rate from its start whether or
// not data moves. A rate change keeps the count reached so far and goes on
// at the new pace, so the count is always the samples the board has made.

#include <chrono>
#include <cstdint>

namespace veltrano::sim {

class SampleClock {
public:
    using Clock = std::chrono::steady_clock;

    SampleClock() : origin_(Clock::now()) {}
    explicit SampleClock(Clock::time_point start, double rateHz = kStartingRateHz) : origin_(start), rateHz_(rateHz) {}

    double rateHz() const { return rateHz_; }
    // A rate that is not positive is ignored: a board keeps the rate it had.
    void setRate(double rateHz, Clock::time_point now)
    {
        if (rateHz > 0.0 && rateHz != rateHz_) {
            originCount_ = countAt(now);
            origin_ = now;
            rateHz_ = rateHz;
        }
    }
    void restart(Clock::time_point now)
    {
        origin_ = now;
        originCount_ = 0;
    }

    // Samples complete at `when`.
    std::uint64_t countAt(Clock::time_point when) const
    {
        if (when <= origin_) {
            return originCount_;
        }
        const double seconds = std::chrono::duration<double>(when - origin_).count();
        return originCount_ + static_cast<std::uint64_t>(seconds * rateHz_);
    }
    // When the counter reaches count (at once for a count already passed).
    // Rounded up by one tick of the clock, so that countAt(timeOf(n)) >= n.
    Clock::time_point timeOf(std::uint64_t count) const
    {
        if (count <= originCount_) {
            return origin_;
        }
        const double seconds = static_cast<double>(count - originCount_) / rateHz_;
        return origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
               Clock::duration(1);
    }

private:
    static constexpr double kStartingRateHz = 1'000'000.0;

    Clock::time_point origin_;
    std::uint64_t originCount_ = 0;
    double rateHz_ = kStartingRateHz;
};

} // namespace veltrano::sim
