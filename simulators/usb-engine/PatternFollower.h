// SPDX-License-Identifier: MIT
#pragma once

// Follows an emulated board's receive pattern through the bytes a program
// read in the board's own format, for tests and soak runs. Both patterns move
// one step per four bytes: a HackRF's bytes p..p+3 hold the little-endian
// p / 4 (period 2^32); a bladeRF's SC16 sample holds its device timestamp
// modulo 2^24 as (I + 2048) + 4096 (Q + 2048). Reads may end inside a step.
// After a break the follower finds the pattern again from two steps that
// follow each other: a HackRF stream may lose any whole number of its 2-byte
// samples, so its steps may then start two bytes further on.
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
            bytes_[filled_++] = bytes[k];
            if (last_ && filled_ == 4) {
                follow();
            } else if (!last_ && filled_ == bytes_.size()) {
                findAgain();
            }
        }
    }
    // Steps that followed on.
    std::uint64_t steps() const { return steps_; }
    // Places where the steps stopped following on: samples lost, repeated or
    // taken from another stream.
    std::uint64_t breaks() const { return breaks_; }

private:
    std::uint64_t positionAt(std::size_t offset) const
    {
        const std::uint8_t* step = bytes_.data() + offset;
        if (pattern_ == ReceivePattern::hackRf) {
            return step[0] | step[1] << 8 | step[2] << 16 | std::uint64_t{step[3]} << 24;
        }
        const auto i = static_cast<std::int16_t>(step[0] | step[1] << 8);
        const auto q = static_cast<std::int16_t>(step[2] | step[3] << 8);
        return static_cast<std::uint64_t>((i + 2048) + 4096 * (q + 2048));
    }
    bool follows(std::uint64_t before, std::uint64_t after) const
    {
        const std::uint64_t period = pattern_ == ReceivePattern::hackRf ? std::uint64_t{1} << 32 : 1u << 24;
        return (after - before) % period == 1;
    }
    void follow()
    {
        filled_ = 0;
        const std::uint64_t position = positionAt(0);
        if (follows(*last_, position)) {
            last_ = position;
            ++steps_;
            return;
        }
        ++breaks_;
        last_.reset();
        filled_ = 4; // the step that broke off starts the search
    }
    // Two steps that follow each other, from the first byte or (a HackRF) the
    // third; otherwise the search moves on by one sample.
    void findAgain()
    {
        const std::size_t sample = pattern_ == ReceivePattern::hackRf ? 2 : 4;
        for (std::size_t offset = 0; offset + 8 <= filled_; offset += sample) {
            if (follows(positionAt(offset), positionAt(offset + 4))) {
                last_ = positionAt(offset + 4);
                steps_ += 2;
                moveToFront(offset + 8);
                return;
            }
        }
        moveToFront(sample);
    }
    void moveToFront(std::size_t from)
    {
        for (std::size_t k = from; k < filled_; ++k) {
            bytes_[k - from] = bytes_[k];
        }
        filled_ -= from;
    }

    ReceivePattern pattern_;
    std::array<std::uint8_t, 10> bytes_{};
    std::size_t filled_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t breaks_ = 0;
    // The last step that followed on; none while the pattern is being found.
    std::optional<std::uint64_t> last_;
};

} // namespace veltrano::sim::usb
