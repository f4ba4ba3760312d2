// SPDX-License-Identifier: MIT
#pragma once

// One direction's device clock: the FPGA's sample counter, which runs at the
// programmed sample rate from the board's reset whether or not data moves.
// A rate change keeps the count reached so far and goes on at the new pace.

#include "usb-engine/UsbBoardModel.h"

#include <cstdint>

namespace veltrano::sim::usbbladerf {

using usb::Clock;

class BladeRfSampleClock {
public:
    BladeRfSampleClock() : origin_(Clock::now()) {}
    explicit BladeRfSampleClock(Clock::time_point start) : origin_(start) {}

    double rateHz() const { return rateHz_; }
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

    std::uint64_t countAt(Clock::time_point when) const
    {
        if (when <= origin_) {
            return originCount_;
        }
        const double seconds = std::chrono::duration<double>(when - origin_).count();
        return originCount_ + static_cast<std::uint64_t>(seconds * rateHz_);
    }
    // When the counter reaches count (at once for a count already passed).
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
    Clock::time_point origin_;
    std::uint64_t originCount_ = 0;
    double rateHz_ = 1'000'000.0;
};

} // namespace veltrano::sim::usbbladerf
