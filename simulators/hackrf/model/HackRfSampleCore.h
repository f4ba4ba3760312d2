// SPDX-License-Identifier: MIT
#pragma once

// The board's sample-moving core (its M0) as the firmware keeps its state:
// the mode it runs, the shortfalls (receive overruns, transmit underruns) it
// counted since the stream started, the longest one in bytes and the limit
// past which it gives the stream up; the state record hackrf_get_m0_state
// reads. And the holds a test scripts to make the host fall behind.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrano::sim::hackrf {

// The core's own buffer: a late host costs nothing until it is full.
inline constexpr std::uint64_t kCoreBufferBytes = 32768;

// The host holds every completed transfer back for this long once the stream
// has moved this many bytes since it started, as a busy USB host or a stalled
// event thread would: no transfer is in flight while the core's buffer fills
// and then overflows (receive), or runs dry (transmit).
struct HostHold {
    std::uint64_t afterBytes = 0;
    std::chrono::microseconds length{0};
};

// "<after bytes>:<milliseconds>[,...]" in stream order; malformed entries are skipped.
std::vector<HostHold> hostHoldsFromText(const std::string& text);

class SampleCore {
public:
    // The modes and errors of the core's state record.
    enum Mode : std::uint32_t { idle = 0, receive = 2, transmitStart = 3, transmitRun = 4 };
    enum Error : std::uint32_t { none = 0, receiveTimeout = 1, transmitTimeout = 2 };

    // The limits of the receive overrun and transmit underrun requests (0: none).
    void setReceiveLimit(std::uint32_t bytes) { receiveLimit_ = bytes; }
    void setTransmitLimit(std::uint32_t bytes) { transmitLimit_ = bytes; }
    // A stream starts (receive or transmitStart): the counts start afresh and
    // the direction's limit is latched, so a limit set while streaming counts
    // from the next stream.
    void start(Mode mode);
    // The stream ends; its counts stay readable until the next one starts.
    void stop() { requestedMode_ = mode_ = idle; }
    void transmitRunning()
    {
        if (mode_ == transmitStart) {
            mode_ = transmitRun;
        }
    }
    // The host was absent while this many bytes were due: the core keeps
    // (receive) or sends (transmit) what its buffer holds and drops the rest,
    // or sends zeros in their place, in 32-byte steps, each step
    // lengthening one shortfall, until the limit (when set) stops it. Returns
    // the bytes dropped.
    std::uint64_t fallBehind(std::uint64_t dueBytes);

    Mode mode() const { return mode_; }
    bool stopped() const { return error_ != none; }
    Error error() const { return error_; }
    std::uint32_t shortfalls() const { return shortfalls_; }
    std::uint32_t longestShortfall() const { return longestShortfall_; }
    std::uint32_t shortfallLimit() const { return shortfallLimit_; }
    // The ten little-endian words the state request answers, the two byte
    // counts as given.
    void record(unsigned char* words, std::uint32_t coreBytes, std::uint32_t usbBytes) const;

private:
    Mode requestedMode_ = idle;
    Mode mode_ = idle;
    std::uint32_t shortfalls_ = 0;
    std::uint32_t longestShortfall_ = 0;
    std::uint32_t shortfallLimit_ = 0;
    std::uint32_t receiveLimit_ = 0;
    std::uint32_t transmitLimit_ = 0;
    Error error_ = none;
};

} // namespace veltrano::sim::hackrf
