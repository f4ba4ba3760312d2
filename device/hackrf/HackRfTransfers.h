// SPDX-License-Identifier: MIT
// What the receive, sweep and transmit paths share about libhackrf's transfer
// thread and its transfer records. Private to the backend.
#pragma once

#include "device/platform/ThreadPriority.h"

#include <libhackrf/hackrf.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace veltrano::detail {

// Receive and transmit rings: 4 MiB, about 105 ms at 20 Msps.
inline constexpr std::size_t kHackRfRingBytes = 4'194'304;
// libhackrf moves 256 KiB per USB transfer in both directions.
inline constexpr std::size_t kHackRfTransferBytes = 262'144;
// The sample rates both chains take.
inline constexpr double kHackRfLowestRateHz = 2'000'000.0;
inline constexpr double kHackRfHighestRateHz = 20'000'000.0;

// The first callback on each of libhackrf's transfer threads raises that
// thread's priority, once: the USB transfers must not wait behind ordinary
// work. A failure leaves the thread as it was and is not retried.
inline void raiseTransferThreadPriorityOnce()
{
    thread_local bool usbPriorityConfigured = false;
    if (!usbPriorityConfigured) {
        usbPriorityConfigured = true;
        platform::raiseCurrentThreadPriority();
    }
}

// The bytes of a transfer that may be touched: valid_length, but never more
// than buffer_length, so a library or USB stack that over-reports cannot make
// us read past the transfer's buffer.
inline std::size_t usableBytes(const hackrf_transfer& transfer, int count)
{
    const int bounded = std::min(count, transfer.buffer_length);
    return bounded > 0 ? static_cast<std::size_t>(bounded) : 0;
}

// A finite value within minimum..maximum, both inclusive.
inline bool inRange(double value, double minimum, double maximum)
{
    return std::isfinite(value) && value >= minimum && value <= maximum;
}

// A frequency as the library takes it: whole hertz, halves away from zero.
inline std::uint64_t wholeHz(double frequencyHz)
{
    return static_cast<std::uint64_t>(std::llround(frequencyHz));
}

} // namespace veltrano::detail
