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
        device.record.unplugPlan = device.board->unplugPlan();
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

int UsbEngine::waitForAnswer(std::unique_lock<std::mutex>& lock, const libusb_device_handle* handle, unsigned timeoutMs)
{
    const Clock::time_point deadline =
        timeoutMs == 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!reachable(handle->device, handle->generation)) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (!handle->device->silent) {
            return LIBUSB_SUCCESS;
        }
        if (Clock::now() >= deadline) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        // libusb waits for ever on a request without a time-out.
        if (timeoutMs == 0) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, deadline);
        }
    }
}

int UsbEngine::control(libusb_device_handle* handle, const ControlRequest& request, unsigned timeoutMs)
{
    libusb_device* device = handle->device;
    int result = 0;
    std::string line;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        result = waitForAnswer(lock, handle, timeoutMs);
        if (result == LIBUSB_SUCCESS) {
            result = device->board->control(request);
            if (result < 0) {
                result = LIBUSB_ERROR_PIPE;
            }
        }
        line = device->board->describe(request);
    }
    // A new transceiver mode may set waiting transfers going.
    wake_.notify_all();
    const char* outcome = result == LIBUSB_ERROR_PIPE        ? " -> stall"
                          : result == LIBUSB_ERROR_TIMEOUT   ? " -> time-out"
                          : result == LIBUSB_ERROR_NO_DEVICE ? " -> no device"
                                                             : "";
    log(device, line + outcome);
    return result;
}

int UsbEngine::bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                    int* transferred, unsigned timeoutMs)
{
    int result = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        result = waitForAnswer(lock, handle, timeoutMs);
        if (result == LIBUSB_SUCCESS) {
            result = handle->device->board->bulk(endpoint, data, static_cast<std::size_t>(length));
        }
    }
    // What the exchange programmed may set waiting transfers going.
    wake_.notify_all();
    if (transferred != nullptr) {
        *transferred = std::max(result, 0);
    }
    return std::min(result, 0);
}

int UsbEngine::stringDescriptor(libusb_device_handle* handle, std::uint8_t index, std::string& text)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const int result = waitForAnswer(lock, handle, 1000);
    if (result == LIBUSB_SUCCESS) {
        text = handle->device->board->stringDescriptor(index);
    }
    return result;
}

int UsbEngine::reach(const libusb_device_handle* handle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return reachable(handle->device, handle->generation) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

std::vector<libusb_device*> UsbEngine::listDevices()
{
    std::vector<libusb_device*> listed;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Device& device : devices_) {
            libusb_device& record = device.record;
            // Listed as often as planned, gone by the next listing.
            ++record.listings;
            if (record.unplugPlan.afterListings != 0 && record.listings > record.unplugPlan.afterListings) {
                record.unplugPlan.afterListings = 0;
                record.plugged = false;
            }
            if (record.plugged) {
                listed.push_back(&record);
            }
        }
    }
    wake_.notify_all();
    return listed;
}

int UsbEngine::open(libusb_device* device, std::uint64_t& generation)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!device->plugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    generation = device->generation;
    return LIBUSB_SUCCESS;
}

void UsbEngine::unplug(libusb_device* device)
{
    if (device == nullptr) {
        return;
    }
    {
        // Its transfers in flight complete with LIBUSB_TRANSFER_NO_DEVICE in
        // the next event handling; requests waiting on it return at once.
        const std::lock_guard<std::mutex> lock(mutex_);
        device->plugged = false;
    }
    wake_.notify_all();
    log(device, "unplugged");
}

void UsbEngine::replug(libusb_device* device)
{
    if (device == nullptr) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        device->plugged = true;
        ++device->generation;
        device->silent = false;
    }
    wake_.notify_all();
    log(device, "replugged");
}

void UsbEngine::stall(libusb_device* device, bool silent)
{
    if (device == nullptr) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        device->silent = silent;
    }
    wake_.notify_all();
    log(device, silent ? "silent" : "answering");
}

void UsbEngine::countStreamBytes(libusb_device* device, std::size_t bytes)
{
    device->streamBytes += bytes;
    if (device->unplugPlan.afterStreamBytes != 0 && device->streamBytes >= device->unplugPlan.afterStreamBytes) {
        device->unplugPlan.afterStreamBytes = 0;
        device->plugged = false;
    }
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
    bool gone = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const libusb_device_handle* handle = transfer->dev_handle;
        gone = !reachable(handle->device, handle->generation);
    }
    if (gone) {
        // A client that goes on streaming on a board that left shows here.
        log(transfer->dev_handle->device, "libusb_submit_transfer -> no device");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const libusb_device_handle* handle = transfer->dev_handle;
        const bool busy = std::any_of(inFlight_.begin(), inFlight_.end(),
                                      [&](const InFlight& entry) { return entry.transfer == transfer; });
        if (busy) {
            return LIBUSB_ERROR_BUSY;
        }
        const Clock::time_point timesOutAt = transfer->timeout == 0
                                                 ? Clock::time_point::max()
                                                 : Clock::now() + std::chrono::milliseconds(transfer->timeout);
        inFlight_.push_back({transfer, false, timesOutAt, handle->generation});
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
        // As libusb on Linux: the board is gone, so the cancel fails, and
        // the transfer ends as the board's other transfers do, with
        // LIBUSB_TRANSFER_NO_DEVICE.
        if (!reachable(transfer->dev_handle->device, entry->generation)) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        entry->cancelled = true;
    }
    wake_.notify_all();
    return LIBUSB_SUCCESS;
}

UsbEngine::Queue UsbEngine::queueOf(const InFlight& entry)
{
    return {entry.transfer->dev_handle->device, entry.transfer->endpoint};
}

std::deque<UsbEngine::InFlight>::iterator UsbEngine::nextReady(const libusb_context* context, Clock::time_point now,
                                                               Clock::time_point& dueAt)
{
    // Only the context's own transfers, and none while one of its callbacks
    // runs on another thread: libusb lets one thread at a time handle a
    // context's events, so a host library's callbacks never overlap, and a
    // board's transfers never complete on the thread of another library
    // instance (whose callbacks could then race its own submissions).
    if (std::find(completing_.begin(), completing_.end(), context) != completing_.end()) {
        return inFlight_.end();
    }
    const auto ours = [context](const InFlight& entry) { return entry.transfer->dev_handle->context == context; };
    // Cancelled transfers, and those of a board that left, end first.
    const auto ended = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& entry) {
        return ours(entry) && (entry.cancelled || !reachable(entry.transfer->dev_handle->device, entry.generation));
    });
    if (ended != inFlight_.end()) {
        return ended;
    }
    // A silent board moves nothing, nor does an endpoint the board keeps
    // idle (a bladeRF's armed trigger): only a transfer's own time-out ends it.
    for (auto entry = inFlight_.begin(); entry != inFlight_.end(); ++entry) {
        libusb_device* device = entry->transfer->dev_handle->device;
        if (ours(*entry) && (device->silent || !device->board->endpointActive(entry->transfer->endpoint))) {
            if (now >= entry->timesOutAt) {
                return entry;
            }
            dueAt = std::min(dueAt, entry->timesOutAt);
        }
    }
    // Each endpoint serves its queue in order, one transfer at a time: only
    // the first transfer of an active endpoint can be due.
    std::vector<Queue> served;
    for (auto entry = inFlight_.begin(); entry != inFlight_.end(); ++entry) {
        libusb_device* device = entry->transfer->dev_handle->device;
        const unsigned char endpoint = entry->transfer->endpoint;
        const Queue queue = queueOf(*entry);
        if (!ours(*entry) || device->silent || !device->board->endpointActive(endpoint) ||
            std::find(served.begin(), served.end(), queue) != served.end()) {
            continue;
        }
        served.push_back(queue);
        const Clock::time_point due =
            device->board->dueAt(endpoint, static_cast<std::size_t>(entry->transfer->length), now);
        if (now >= due) {
            return entry;
        }
        const bool held = due == Clock::time_point::max();
        if (held && now >= entry->timesOutAt) {
            entry->heldPastTimeOut = true;
            return entry;
        }
        dueAt = std::min(dueAt, held ? entry->timesOutAt : due);
    }
    return inFlight_.end();
}

int UsbEngine::handleEvents(const libusb_context* context, const timeval* timeout)
{
    Clock::duration wait = kDefaultEventWait;
    if (timeout != nullptr) {
        wait = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(timeout->tv_sec) +
                                                           std::chrono::microseconds(timeout->tv_usec));
    }
    const Clock::time_point deadline = Clock::now() + wait;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (const auto interrupt = std::find(interrupted_.begin(), interrupted_.end(), context);
            interrupt != interrupted_.end()) {
            interrupted_.erase(interrupt);
            return LIBUSB_SUCCESS;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point wakeAt = deadline;
        const auto ready = nextReady(context, now, wakeAt);
        if (ready != inFlight_.end()) {
            libusb_transfer* transfer = ready->transfer;
            libusb_device* device = transfer->dev_handle->device;
            const bool cancelled = ready->cancelled;
            const bool gone = !reachable(device, ready->generation);
            const bool idle =
                device->silent || !device->board->endpointActive(transfer->endpoint) || ready->heldPastTimeOut;
            inFlight_.erase(ready);
            if (cancelled || gone || idle) {
                // A board that left ends even a cancelled transfer, as libusb's
                // disconnect handling does.
                transfer->status = gone        ? LIBUSB_TRANSFER_NO_DEVICE
                                   : cancelled ? LIBUSB_TRANSFER_CANCELLED
                                               : LIBUSB_TRANSFER_TIMED_OUT;
                transfer->actual_length = 0;
            } else {
                const std::size_t actual = device->board->complete(transfer->endpoint, transfer->buffer,
                                                                   static_cast<std::size_t>(transfer->length), now);
                transfer->status = LIBUSB_TRANSFER_COMPLETED;
                transfer->actual_length = static_cast<int>(actual);
                countStreamBytes(device, actual);
            }
            completing_.push_back(context);
            lock.unlock();
            if (transfer->callback != nullptr) {
                transfer->callback(transfer);
            }
            lock.lock();
            completing_.erase(std::find(completing_.begin(), completing_.end(), context));
            lock.unlock();
            wake_.notify_all();
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            return LIBUSB_SUCCESS;
        }
        wake_.wait_until(lock, wakeAt);
    }
}

void UsbEngine::interruptEventHandler(const libusb_context* context)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(interrupted_.begin(), interrupted_.end(), context) == interrupted_.end()) {
            interrupted_.push_back(context);
        }
    }
    wake_.notify_all();
}

void UsbEngine::contextExited(const libusb_context* context)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    interrupted_.erase(std::remove(interrupted_.begin(), interrupted_.end(), context), interrupted_.end());
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
