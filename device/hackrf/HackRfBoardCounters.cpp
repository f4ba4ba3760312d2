// SPDX-License-Identifier: MIT
// The board's own receive shortfalls (its sample core counts every time the
// USB side had no transfer to fill) and the overrun limit past which the
// board gives the stream up.
//
// The state is one vendor control request, a few hundred microseconds on a
// real board, so it is never asked from the transfer callback. The reader
// asks it from readSamples, at most once per poll interval: the cost is
// bounded per second of streaming whatever the read size, and the reader is
// held up for one request at most. libhackrf sends the request without a
// time-out, so readSamples asks only while transfers arrive, or, with a limit
// set, when the stream ran dry (then a stream the board gave up is noticed
// within one read, which keeps polling for ~100 ms).
// The getters only load what the last poll stored, so a module may ask them
// on every read. stopRx reads once more, so the counts of a stream stay
// readable after it.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"

#include <chrono>

namespace veltrano {
namespace {

constexpr std::uint16_t kShortfallUsbApi = 0x0106;
constexpr auto kBoardPollInterval = std::chrono::milliseconds(20);
// The core's mode when it runs nothing, and its error after a receive limit.
constexpr std::uint32_t kCoreIdle = 0;
constexpr std::uint32_t kCoreReceiveTimeout = 1;

std::int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<std::uint64_t> known(std::int64_t value)
{
    return value < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(value));
}

} // namespace

bool HackRfSdrDevice::boardKeepsShortfalls() const
{
    return isOpen() && usbApiVersion_ >= kShortfallUsbApi && hackRfApi().getM0State != nullptr;
}

std::optional<std::uint64_t> HackRfSdrDevice::rxBoardShortfalls() const
{
    return known(rxBoardShortfalls_.load(std::memory_order_relaxed));
}

std::optional<std::uint64_t> HackRfSdrDevice::rxBoardLongestShortfallBytes() const
{
    return known(rxBoardLongestShortfall_.load(std::memory_order_relaxed));
}

bool HackRfSdrDevice::setRxOverrunLimit(std::uint32_t bytes)
{
    lastError_.clear();
    const char* refusal = !isOpen()                                  ? "RX overrun limit: the board is not open"
                          : hackRfApi().setRxOverrunLimit == nullptr ? "RX overrun limit: the library has no "
                                                                       "hackrf_set_rx_overrun_limit"
                          : usbApiVersion_ < kShortfallUsbApi
                              ? "RX overrun limit: the board's USB API is older than 0x0106"
                              : nullptr;
    if (bytes != 0 && refusal != nullptr) {
        lastError_.set(refusal);
        return false;
    }
    rxOverrunLimit_.store(bytes);
    return true;
}

std::uint32_t HackRfSdrDevice::rxOverrunLimit() const
{
    return rxOverrunLimit_.load();
}

std::string HackRfSdrDevice::pollBoardShortfalls(bool forced)
{
    if (!boardKeepsShortfalls()) {
        return {};
    }
    const std::int64_t now = steadyNowNs();
    const std::int64_t interval = std::chrono::nanoseconds(kBoardPollInterval).count();
    if (!forced && now - rxBoardReadAtNs_.load(std::memory_order_relaxed) < interval) {
        return {};
    }
    rxBoardReadAtNs_.store(now, std::memory_order_relaxed);
    hackrf_m0_state state{};
    if (hackRfApi().getM0State(handle_->device, &state) != HACKRF_SUCCESS) {
        return {}; // the counts stay as last read; a dead board shows in the stream
    }
    rxBoardShortfalls_.store(state.num_shortfalls, std::memory_order_relaxed);
    rxBoardLongestShortfall_.store(state.longest_shortfall, std::memory_order_relaxed);
    if (state.active_mode != kCoreIdle || state.error != kCoreReceiveTimeout) {
        return {};
    }
    return "RX stream stopped: the board fell " + std::to_string(state.longest_shortfall) +
           " bytes behind, reaching its overrun limit of " + std::to_string(state.shortfall_limit) + " bytes";
}

void HackRfSdrDevice::startBoardShortfalls()
{
    // The board starts its counts afresh with every stream.
    const std::int64_t start = boardKeepsShortfalls() ? 0 : -1;
    rxBoardShortfalls_.store(start, std::memory_order_relaxed);
    rxBoardLongestShortfall_.store(start, std::memory_order_relaxed);
    rxBoardReadAtNs_.store(0, std::memory_order_relaxed);
}

} // namespace veltrano
