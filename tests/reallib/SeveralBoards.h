// SPDX-License-Identifier: MIT
// Two HackRF Ones and a bladeRF x40 on one emulated bus (usb-several), driven
// at once by Debian's real libhackrf and libbladeRF. Each board's receive
// pattern names the position of every sample in its own stream, so a reader
// that lost, repeated or took another board's samples sees a break.
#pragma once

#include "tests/reallib/RealLibBladeRf.h"
#include "tests/reallib/RealLibHackRf.h"

#include "simulators/usb-engine/PatternFollower.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veltrano::test {

// The second HackRF's serial on the bus (the first has kEmulatedSerial).
inline constexpr const char* kSecondHackRfSerial = "00000000000000002b6e2e5f457863c8";

#ifdef VELTRANO_SANITIZED
// An instrumented reader may fall behind: its losses are then only counted,
// and every break in a stream must be one of them.
inline constexpr bool kReadersMayFallBehind = true;
#else
inline constexpr bool kReadersMayFallBehind = false;
#endif

// One board's receive stream as its reader thread sees it, whatever carries
// it (the device layer or the module).
struct BoardStream {
    std::string name;
    NativeSampleFormat format;
    // Samples each read asks for.
    std::size_t readSize;
    // Reads up to count native samples; how many came. Waits a little when none are there.
    std::function<std::size_t(void*, std::size_t)> read;
    // Losses the stream counted, and its end in words ("" while it runs).
    std::function<std::uint64_t()> losses;
    std::function<std::string()> error;

    sim::usb::PatternFollower follower{format == NativeSampleFormat::cs8 ? sim::usb::ReceivePattern::hackRf
                                                                         : sim::usb::ReceivePattern::bladeRf};

    std::uint64_t samples() const { return follower.steps() * 4 / nativeSampleBytes(format); }

    // Reads until done() holds; false when the stream ended first (or a
    // minute went by, which only a stuck stream takes).
    bool readUntil(const std::function<bool()>& done)
    {
        std::vector<std::uint8_t> buffer(readSize * nativeSampleBytes(format));
        const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!done()) {
            const std::size_t count = read(buffer.data(), readSize);
            follower.take(buffer.data(), count * nativeSampleBytes(format));
            if ((count == 0 && !error().empty()) || std::chrono::steady_clock::now() > giveUpAt) {
                return false;
            }
        }
        return true;
    }
    bool readMore(std::uint64_t count)
    {
        const std::uint64_t until = samples() + count;
        return readUntil([&] { return samples() >= until; });
    }

    // Contiguous, or, where the reader may fall behind, broken only where a loss was counted.
    bool whole() const
    {
        return kReadersMayFallBehind ? follower.breaks() <= losses() : follower.breaks() == 0 && losses() == 0;
    }
};

} // namespace veltrano::test
