// SPDX-License-Identifier: MIT
// The board's own shortfalls, in both directions: its sample core counts every
// time the USB side had no transfer to fill (receive overruns) or none to send
// (transmit underruns), and gives the stream up past the direction's limit.
//
// The state is one vendor control request, a few hundred microseconds on a
// real board, so it is never asked from a transfer callback. libhackrf sends
// it without a time-out, and a board may fall silent at any moment, so it is
// never asked by a read or a write either: a watcher thread, started with the
// stream, asks once per poll interval while the stream's transfers move (the
// board is alive) and, with a limit set, while they stand still (then a
// stream the board gave up is noticed within one poll interval or two). A
// watcher caught by a board that fell silent holds up only itself, and the
// stop that joins it, as libhackrf's own stop waits for such a board too.
// The getters only load what the last answer stored, so a module may ask
// them on every read. stopRx and stopTx ask once more, so the counts of a
// stream stay readable after it.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfRings.h"

#include <chrono>
#include <condition_variable>
#include <utility>

namespace veltrano {
namespace {

constexpr std::uint16_t kShortfallUsbApi = 0x0106;
constexpr auto kBoardPollInterval = std::chrono::milliseconds(20);
// The core's mode when it runs nothing, and its error after a receive or a
// transmit limit.
constexpr std::uint32_t kCoreIdle = 0;
constexpr std::uint32_t kCoreReceiveTimeout = 1;
constexpr std::uint32_t kCoreTransmitTimeout = 2;

std::optional<std::uint64_t> known(std::int64_t value)
{
    return value < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(value));
}

// How the two directions name their stream, their limit and the library call.
struct DirectionWords {
    const char* stream;
    const char* limit;
    const char* entryPoint;
};

DirectionWords wordsFor(StreamDirection direction)
{
    return direction == StreamDirection::rx ? DirectionWords{"RX", "overrun", "hackrf_set_rx_overrun_limit"}
                                            : DirectionWords{"TX", "underrun", "hackrf_set_tx_underrun_limit"};
}

using SetLimit = int (*)(hackrf_device*, std::uint32_t);

SetLimit limitEntryPoint(StreamDirection direction)
{
    const HackRfApi& api = hackRfApi();
    return direction == StreamDirection::rx ? api.setRxOverrunLimit : api.setTxUnderrunLimit;
}

} // namespace

bool HackRfSdrDevice::boardKeepsShortfalls() const
{
    return isOpen() && usbApiVersion_ >= kShortfallUsbApi && hackRfApi().getM0State != nullptr;
}

HackRfSdrDevice::BoardShortfalls& HackRfSdrDevice::boardShortfalls(StreamDirection direction)
{
    return direction == StreamDirection::rx ? rxBoard_ : txBoard_;
}

const HackRfSdrDevice::BoardShortfalls& HackRfSdrDevice::boardShortfalls(StreamDirection direction) const
{
    return direction == StreamDirection::rx ? rxBoard_ : txBoard_;
}

std::optional<std::uint64_t> HackRfSdrDevice::rxBoardShortfalls() const
{
    return known(rxBoard_.count.load(std::memory_order_relaxed));
}

std::optional<std::uint64_t> HackRfSdrDevice::rxBoardLongestShortfallBytes() const
{
    return known(rxBoard_.longestBytes.load(std::memory_order_relaxed));
}

std::optional<std::uint64_t> HackRfSdrDevice::txBoardUnderruns() const
{
    return known(txBoard_.count.load(std::memory_order_relaxed));
}

std::optional<std::uint64_t> HackRfSdrDevice::txBoardLongestUnderrunBytes() const
{
    return known(txBoard_.longestBytes.load(std::memory_order_relaxed));
}

bool HackRfSdrDevice::setRxOverrunLimit(std::uint32_t bytes)
{
    return setBoardLimit(StreamDirection::rx, bytes);
}

std::uint32_t HackRfSdrDevice::rxOverrunLimit() const
{
    return rxBoard_.limit.load();
}

bool HackRfSdrDevice::setTxUnderrunLimit(std::uint32_t bytes)
{
    return setBoardLimit(StreamDirection::tx, bytes);
}

std::uint32_t HackRfSdrDevice::txUnderrunLimit() const
{
    return txBoard_.limit.load();
}

bool HackRfSdrDevice::setBoardLimit(StreamDirection direction, std::uint32_t bytes)
{
    lastError_.clear();
    const DirectionWords words = wordsFor(direction);
    const std::string name = std::string(words.stream) + " " + words.limit + " limit: ";
    const std::string refusal = [&]() -> std::string {
        if (!isOpen()) {
            return "the board is not open";
        }
        if (limitEntryPoint(direction) == nullptr) {
            return std::string("the library has no ") + words.entryPoint;
        }
        if (usbApiVersion_ < kShortfallUsbApi) {
            return "the board's USB API is older than 0x0106";
        }
        return {};
    }();
    if (bytes != 0 && !refusal.empty()) {
        lastError_.set(name + refusal);
        return false;
    }
    boardShortfalls(direction).limit.store(bytes);
    return true;
}

bool HackRfSdrDevice::applyBoardLimit(StreamDirection direction)
{
    // The board keeps the limit until it is set again, and takes it up when a
    // stream starts: a limit set for an earlier stream must not linger.
    const SetLimit setLimit = limitEntryPoint(direction);
    if (setLimit == nullptr || usbApiVersion_ < kShortfallUsbApi) {
        return true;
    }
    const DirectionWords words = wordsFor(direction);
    const std::string step = std::string("set ") + words.stream + " " + words.limit + " limit";
    return !stepFailed(step.c_str(), setLimit(handle_->device, boardShortfalls(direction).limit.load()));
}

std::optional<std::string> HackRfSdrDevice::askBoardShortfalls(StreamDirection direction)
{
    BoardShortfalls& counts = boardShortfalls(direction);
    if (!boardKeepsShortfalls()) {
        return std::nullopt;
    }
    hackrf_m0_state state{};
    if (hackRfApi().getM0State(handle_->device, &state) != HACKRF_SUCCESS) {
        return std::nullopt; // the counts stay as last read; a dead board shows in the stream
    }
    counts.count.store(state.num_shortfalls, std::memory_order_relaxed);
    counts.longestBytes.store(state.longest_shortfall, std::memory_order_relaxed);
    const std::uint32_t limitError = direction == StreamDirection::rx ? kCoreReceiveTimeout : kCoreTransmitTimeout;
    if (state.active_mode != kCoreIdle || state.error != limitError) {
        return std::string();
    }
    const DirectionWords words = wordsFor(direction);
    return std::string(words.stream) + " stream stopped: the board fell " + std::to_string(state.longest_shortfall) +
           " bytes behind, reaching its " + words.limit + " limit of " + std::to_string(state.shortfall_limit) +
           " bytes";
}

void HackRfSdrDevice::startBoardShortfalls(StreamDirection direction)
{
    // The board starts its counts afresh with every stream.
    BoardShortfalls& counts = boardShortfalls(direction);
    const std::int64_t start = boardKeepsShortfalls() ? 0 : -1;
    counts.count.store(start, std::memory_order_relaxed);
    counts.longestBytes.store(start, std::memory_order_relaxed);
    counts.gaveUp.store(false, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(counts.reasonMutex);
    counts.reason.clear();
}

void HackRfSdrDevice::startBoardWatcher(StreamDirection direction)
{
    if (!boardKeepsShortfalls()) {
        return;
    }
    BoardShortfalls& counts = boardShortfalls(direction);
    const std::lock_guard<std::mutex> lock(counts.watcherMutex);
    counts.watcher = std::jthread([this, direction](const std::stop_token& stop) { watchBoard(direction, stop); });
}

void HackRfSdrDevice::stopBoardWatcher(StreamDirection direction)
{
    BoardShortfalls& counts = boardShortfalls(direction);
    const std::lock_guard<std::mutex> lock(counts.watcherMutex);
    if (counts.watcher.joinable()) {
        counts.watcher.request_stop();
        counts.watcher.join();
    }
}

void HackRfSdrDevice::watchBoard(StreamDirection direction, const std::stop_token& stop)
{
    BoardShortfalls& counts = boardShortfalls(direction);
    // Receive moves as the board stores, transmit as it takes.
    const auto position = [this, direction]() -> std::uint64_t {
        const std::shared_ptr<RawBuffer> ring =
            std::atomic_load(direction == StreamDirection::rx ? &rxBuffer_ : &txBuffer_);
        if (!ring) {
            return 0;
        }
        return direction == StreamDirection::rx ? ring->storedPosition() : ring->consumedPosition();
    };
    std::mutex mutex;
    std::condition_variable_any pause;
    std::unique_lock<std::mutex> lock(mutex);
    std::uint64_t answeredAt = 0;
    for (;;) {
        pause.wait_for(lock, stop, kBoardPollInterval, [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
        const std::uint64_t now = position();
        if (now == answeredAt && counts.limit.load() == 0) {
            continue; // a still stream without a limit: nothing to learn, and the board may be silent
        }
        const std::optional<std::string> stopped = askBoardShortfalls(direction);
        if (!stopped) {
            continue;
        }
        answeredAt = now;
        if (!stopped->empty()) {
            const std::lock_guard<std::mutex> reasonLock(counts.reasonMutex);
            counts.reason = *stopped;
            counts.gaveUp.store(true, std::memory_order_release);
            return; // the board's stream is over
        }
    }
}

std::string HackRfSdrDevice::takeBoardStop(StreamDirection direction)
{
    BoardShortfalls& counts = boardShortfalls(direction);
    if (!counts.gaveUp.load(std::memory_order_acquire)) {
        return {};
    }
    const std::lock_guard<std::mutex> lock(counts.reasonMutex);
    counts.gaveUp.store(false, std::memory_order_relaxed);
    return std::exchange(counts.reason, {});
}

} // namespace veltrano
