// SPDX-License-Identifier: MIT
#pragma once

// Follows an emulated board's receive pattern through the bytes a program
// read in the board's own format, for tests and soak runs. Both patterns move
// one step per four bytes: a HackRF's bytes p..p+3 hold the little-endian
// p / 4 (period 2^32); a bladeRF's SC16 sample holds its device timestamp
// modulo 2^24 as (I + 2048) + 4096 (Q + 2048). Reads may end inside a step.
// Header-only: the programs that use it do not link the emulator.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace veltrano::sim::usb {

enum class ReceivePattern { hackRf, bladeRf };

class PatternFollower {
public:
    explicit PatternFollower(ReceivePattern pattern) : pattern_(pattern) {}

    void take(const std::uint8_t* bytes, std::size_t length)
    {
        for (std::size_t k = 0; k < length; ++k) {
            step_[filled_++] = bytes[k];
            if (filled_ == step_.size()) {
                follow(position());
                filled_ = 0;
            }
        }
    }
    std::uint64_t steps() const { return steps_; }
    // Steps that did not follow the one before: samples lost, repeated or
    // taken from another stream.
    std::uint64_t breaks() const { return breaks_; }

private:
    std::uint64_t position() const
    {
        if (pattern_ == ReceivePattern::hackRf) {
            return step_[0] | step_[1] << 8 | step_[2] << 16 | std::uint64_t{step_[3]} << 24;
        }
        const auto i = static_cast<std::int16_t>(step_[0] | step_[1] << 8);
        const auto q = static_cast<std::int16_t>(step_[2] | step_[3] << 8);
        return static_cast<std::uint64_t>((i + 2048) + 4096 * (q + 2048));
    }
    void follow(std::uint64_t position)
    {
        const std::uint64_t period = pattern_ == ReceivePattern::hackRf ? std::uint64_t{1} << 32 : 1u << 24;
        if (last_ && (position - *last_) % period != 1) {
            ++breaks_;
        }
        last_ = position;
        ++steps_;
    }

    ReceivePattern pattern_;
    std::array<std::uint8_t, 4> step_{};
    std::size_t filled_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t breaks_ = 0;
    std::optional<std::uint64_t> last_;
};

} // namespace veltrano::sim::usb
