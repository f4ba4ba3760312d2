// SPDX-License-Identifier: MIT
#include "UsbEngine.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>

namespace veltrano::sim::usb {
namespace {

// libusb_handle_events_timeout never blocks for ever; this is its wait when
// given no time-out.
constexpr auto kDefaultEventWait = std::chrono::seconds(60);

} // namespace

UsbEngine& engine()
{
    static UsbEngine instance;
    return instance;
}

UsbEngine::UsbEngine()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards = boardsOnTheBus();
    devices_.reserve(boards.size());
    for (auto& board : boards) {
        Device& device = devices_.emplace_back();
        device.board = std::move(board);
        device.record.board = device.board.get();
        device.record.address = static_cast<std::uint8_t>(devices_.size());
    }
}

std::vector<libusb_device*> UsbEngine::devices()
{
    std::vector<libusb_device*> records;
    for (Device& device : devices_) {
        records.push_back(&device.record);
    }
    return records;
}

void UsbEngine::log(libusb_device* device, std::string_view line)
{
    // Each journal has a lock of its own, and boards never leave the bus.
    if (device != nullptr) {
        device->board->journal().write(line);
        return;
    }
    for (Device& each : devices_) {
        each.board->journal().write(line);
    }
}

int UsbEngine::control(libusb_device* device, const ControlRequest& request)
{
    int result = 0;
    std::string line;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        result = device->board->control(request);
        line = device->board->describe(request);
    }
    // A new transceiver mode may set waiting transfers going.
    wake_.notify_all();
    log(device, line + (result < 0 ? " -> stall" : ""));
    return result < 0 ? LIBUSB_ERROR_PIPE : result;
}

int UsbEngine::bulk(libusb_device* device, unsigned char endpoint, unsigned char* data, int length, int* transferred)
{
    int result = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        result = device->board->bulk(endpoint, data, static_cast<std::size_t>(length));
    }
    // What the exchange programmed may set waiting transfers going.
    wake_.notify_all();
    if (transferred != nullptr) {
        *transferred = std::max(result, 0);
    }
    return std::min(result, 0);
}

void UsbEngine::reset(libusb_device* device)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        device->board->reset();
    }
    log(device, "libusb_reset_device");
}

void UsbEngine::selectAlternateSetting(libusb_device* device, int setting)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        device->board->selectAlternateSetting(setting);
    }
    wake_.notify_all();
    log(device, "libusb_set_interface_alt_setting " + std::to_string(setting));
}

int UsbEngine::submit(libusb_transfer* transfer)
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

int UsbEngine::cancel(libusb_transfer* transfer)
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

std::deque<UsbEngine::InFlight>::iterator UsbEngine::nextReady(Clock::time_point now, Clock::time_point& dueAt)
{
    const auto cancelled =
        std::find_if(inFlight_.begin(), inFlight_.end(), [](const InFlight& entry) { return entry.cancelled; });
    if (cancelled != inFlight_.end()) {
        return cancelled;
    }
    // Each endpoint serves its queue in order, one transfer at a time: only
    // the first transfer of an active endpoint can be due.
    std::vector<std::pair<const libusb_device*, unsigned char>> served;
    for (auto entry = inFlight_.begin(); entry != inFlight_.end(); ++entry) {
        libusb_device* device = entry->transfer->dev_handle->device;
        const unsigned char endpoint = entry->transfer->endpoint;
        const std::pair<const libusb_device*, unsigned char> queue{device, endpoint};
        if (!device->board->endpointActive(endpoint) ||
            std::find(served.begin(), served.end(), queue) != served.end()) {
            continue;
        }
        served.push_back(queue);
        const Clock::time_point due =
            device->board->dueAt(endpoint, static_cast<std::size_t>(entry->transfer->length), now);
        if (now >= due) {
            return entry;
        }
        dueAt = std::min(dueAt, due);
    }
    return inFlight_.end();
}

int UsbEngine::handleEvents(const timeval* timeout)
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
                const std::size_t actual = transfer->dev_handle->device->board->complete(
                    transfer->endpoint, transfer->buffer, static_cast<std::size_t>(transfer->length), now);
                transfer->status = LIBUSB_TRANSFER_COMPLETED;
                transfer->actual_length = static_cast<int>(actual);
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

void UsbEngine::interruptEventHandler()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

void UsbEngine::transferAllocated()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++transfersAllocated_;
}

void UsbEngine::transferFreed(libusb_transfer* transfer)
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
        // Its handle may be gone already: every board's journal hears of it.
        log(nullptr, "free of a transfer in flight");
    }
}

void UsbEngine::handleOpened(libusb_device* device)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++openHandles_;
    }
    log(device, "libusb_open");
}

void UsbEngine::handleClosed(libusb_device* device)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --openHandles_;
    }
    log(device, "libusb_close");
}

int UsbEngine::transfersInFlight()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(inFlight_.size());
}

int UsbEngine::transfersAllocated()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return transfersAllocated_;
}

int UsbEngine::openHandles()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

} // namespace veltrano::sim::usb
