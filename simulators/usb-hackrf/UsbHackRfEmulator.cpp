// SPDX-License-Identifier: MIT
#include "UsbHackRfEmulator.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>

namespace veltrano::sim::usbhackrf {
namespace {

// libusb_handle_events_timeout never blocks for ever; this is its wait when
// given no time-out.
constexpr auto kDefaultEventWait = std::chrono::seconds(60);
// How far the board may run ahead of a slow host before it stops catching up.
constexpr auto kLongestBacklog = std::chrono::milliseconds(500);

} // namespace

Emulator& emulator()
{
    static Emulator instance;
    return instance;
}

int Emulator::control(const ControlRequest& request)
{
    int result = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        result = board_.control(request);
    }
    // A new transceiver mode may set waiting transfers going.
    wake_.notify_all();
    log(UsbHackRfBoard::describe(request) + (result < 0 ? " -> stall" : ""));
    return result < 0 ? LIBUSB_ERROR_PIPE : result;
}

int Emulator::submit(libusb_transfer* transfer)
{
    if (transfer == nullptr || transfer->dev_handle == nullptr || transfer->length < 0 ||
        (transfer->buffer == nullptr && transfer->length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const bool busy = std::any_of(inFlight_.begin(), inFlight_.end(),
                                      [&](const InFlight& entry) { return entry.transfer == transfer; });
        if (busy) {
            return LIBUSB_ERROR_BUSY;
        }
        inFlight_.push_back({transfer, false});
    }
    wake_.notify_all();
    return LIBUSB_SUCCESS;
}

int Emulator::cancel(libusb_transfer* transfer)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto entry = std::find_if(inFlight_.begin(), inFlight_.end(),
                                        [&](const InFlight& candidate) { return candidate.transfer == transfer; });
        if (entry == inFlight_.end() || entry->cancelled) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        entry->cancelled = true;
    }
    wake_.notify_all();
    return LIBUSB_SUCCESS;
}

std::deque<Emulator::InFlight>::iterator Emulator::nextReady(Clock::time_point now, Clock::time_point& dueAt)
{
    const auto cancelled =
        std::find_if(inFlight_.begin(), inFlight_.end(), [](const InFlight& entry) { return entry.cancelled; });
    if (cancelled != inFlight_.end()) {
        return cancelled;
    }
    // The board serves its endpoints' queues in order, one transfer at a time.
    const auto active = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& entry) {
        return board_.endpointActive(entry.transfer->endpoint);
    });
    if (active == inFlight_.end() || now >= boardClock_) {
        return active;
    }
    dueAt = std::min(dueAt, boardClock_);
    return inFlight_.end();
}

int Emulator::handleEvents(const timeval* timeout)
{
    Clock::duration wait = kDefaultEventWait;
    if (timeout != nullptr) {
        wait = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(timeout->tv_sec) +
                                                           std::chrono::microseconds(timeout->tv_usec));
    }
    const Clock::time_point deadline = Clock::now() + wait;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (interrupted_) {
            interrupted_ = false;
            return LIBUSB_SUCCESS;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point wakeAt = deadline;
        const auto ready = nextReady(now, wakeAt);
        if (ready != inFlight_.end()) {
            libusb_transfer* transfer = ready->transfer;
            const bool cancelled = ready->cancelled;
            inFlight_.erase(ready);
            if (cancelled) {
                transfer->status = LIBUSB_TRANSFER_CANCELLED;
                transfer->actual_length = 0;
            } else {
                const auto length = static_cast<std::size_t>(transfer->length);
                if ((transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0) {
                    board_.produce(transfer->buffer, length);
                } else {
                    board_.consume(transfer->buffer, length);
                }
                // The board keeps its own pace: a late host gets the backlog
                // at once, so the average rate stays the programmed one. After
                // a long pause (a new stream) the clock starts afresh.
                if (now - boardClock_ > kLongestBacklog) {
                    boardClock_ = now;
                }
                boardClock_ += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(board_.secondsFor(length)));
                transfer->status = LIBUSB_TRANSFER_COMPLETED;
                transfer->actual_length = transfer->length;
            }
            lock.unlock();
            if (transfer->callback != nullptr) {
                transfer->callback(transfer);
            }
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_SUCCESS;
        }
        wake_.wait_until(lock, wakeAt);
    }
}

void Emulator::interruptEventHandler()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

void Emulator::transferAllocated()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++transfersAllocated_;
}

void Emulator::transferFreed(libusb_transfer* transfer)
{
    bool wasInFlight = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --transfersAllocated_;
        const auto entry = std::find_if(inFlight_.begin(), inFlight_.end(),
                                        [&](const InFlight& candidate) { return candidate.transfer == transfer; });
        if (entry != inFlight_.end()) {
            inFlight_.erase(entry);
            wasInFlight = true;
        }
    }
    if (wasInFlight) {
        log("free of a transfer in flight");
    }
}

void Emulator::handleOpened()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++openHandles_;
}

void Emulator::handleClosed()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    --openHandles_;
}

int Emulator::transfersInFlight()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(inFlight_.size());
}

int Emulator::transfersAllocated()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return transfersAllocated_;
}

int Emulator::openHandles()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

} // namespace veltrano::sim::usbhackrf
