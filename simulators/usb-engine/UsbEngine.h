// SPDX-License-Identifier: MIT
#pragma once

// The state behind the libusb stand-in: the boards on the emulated bus and the
// asynchronous transfers submitted to them. Transfers complete only inside
// handleEvents, on a thread that handles the events of the libusb context the
// transfer's handle belongs to, one callback at a time per context (libusb's
// event lock), at the pace each board's model sets; a cancelled transfer
// completes there too, as cancelled. Everything is guarded by one mutex,
// which is never held while a transfer's callback runs (callbacks resubmit).

#include "UsbBoardModel.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct libusb_context;
struct libusb_transfer;
struct timeval;

// libusb's opaque records. A device is one board on the bus; a handle is one open of it.
struct libusb_device {
    veltrano::sim::usb::UsbBoardModel* board = nullptr;
    std::uint8_t address = 0;
    // Faults, under the engine's lock: whether the board is on the bus, its
    // plug-in generation (a replugged board is a new device), whether it
    // answers, and what counts towards its planned unplug.
    bool plugged = true;
    std::uint64_t generation = 1;
    bool silent = false;
    std::uint64_t streamBytes = 0;
    std::uint64_t listings = 0;
    veltrano::sim::usb::UnplugPlan unplugPlan;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    // The board's generation at the open: a handle of a board that left
    // stays dead, also once the board is back.
    std::uint64_t generation = 0;
    // The context whose event handling completes its transfers (null: libusb's default).
    const libusb_context* context = nullptr;
};

namespace veltrano::sim::usb {

// The boards a stand-in library puts on its bus; each library defines it.
std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus();

class UsbEngine {
public:
    UsbEngine();

    std::vector<libusb_device*> devices();
    // The device of the Board whose serial (string descriptor 3) is serial,
    // or of the first Board when serial is null or empty; null when the bus holds no
    // such board. A bus may hold several boards of one family.
    template <typename Board>
    libusb_device* deviceOf(const char* serial = nullptr)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Device* device = find<Board>(serial);
        return device != nullptr ? &device->record : nullptr;
    }

    // Runs f with that board under the lock; returns absent when there is none.
    template <typename Board, typename R, typename F>
    R withBoard(const char* serial, R absent, F f)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Device* device = find<Board>(serial);
        return device != nullptr ? f(static_cast<Board&>(*device->board)) : absent;
    }
    // Runs f with this device's board under the lock.
    template <typename F>
    auto withBoard(libusb_device* device, F f)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return f(*device->board);
    }
    // A journal line for one board, or for every board when device is null.
    void log(libusb_device* device, std::string_view line);

    // A vendor control request with libusb's time-out (0: none); the libusb
    // result (bytes moved, a stall, a time-out or the board's absence).
    int control(libusb_device_handle* handle, const ControlRequest& request, unsigned timeoutMs);
    // A blocking bulk exchange, likewise.
    int bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length, int* transferred,
             unsigned timeoutMs);
    // A string descriptor request (libusb gives each one second); its text or a libusb error.
    int stringDescriptor(libusb_device_handle* handle, std::uint8_t index, std::string& text);
    // A request the host answers without the board (claiming, configuration):
    // LIBUSB_SUCCESS, or LIBUSB_ERROR_NO_DEVICE for a handle of a board gone.
    int reach(const libusb_device_handle* handle);
    // The boards on the bus now; each listing counts towards a planned unplug.
    std::vector<libusb_device*> listDevices();
    // A new handle's generation, or LIBUSB_ERROR_NO_DEVICE when the board is gone.
    int open(libusb_device* device, std::uint64_t& generation);

    // Faults: the board leaves the bus, comes back as a new device, or stops
    // answering. A null device (a board not on the bus) takes none.
    void unplug(libusb_device* device);
    void replug(libusb_device* device);
    void stall(libusb_device* device, bool silent);
    void reset(libusb_device* device);
    void selectAlternateSetting(libusb_device* device, int setting);

    int submit(libusb_transfer* transfer);
    int cancel(libusb_transfer* transfer);
    // Completes at most one transfer of that context that is due (or
    // cancelled), waiting up to the timeout for one; a null timeout waits
    // like libusb's default.
    int handleEvents(const libusb_context* context, const timeval* timeout);
    // Makes a waiting handleEvents of that context return early.
    void interruptEventHandler(const libusb_context* context);
    // The context is gone: an interrupt nobody took goes with it.
    void contextExited(const libusb_context* context);
    // A board changed from outside the bus (a test's call): waiting event
    // handlers look again at what is due.
    void boardChanged() { wake_.notify_all(); }

    void transferAllocated();
    // A freed transfer is forgotten even when the host frees it in flight.
    void transferFreed(libusb_transfer* transfer);
    void handleOpened(libusb_device* device);
    void handleClosed(libusb_device* device);

    int transfersInFlight();
    int transfersAllocated();
    int openHandles();

private:
    struct Device {
        std::unique_ptr<UsbBoardModel> board;
        libusb_device record;
    };
    struct InFlight {
        libusb_transfer* transfer;
        bool cancelled;
        Clock::time_point timesOutAt; // Clock::time_point::max() without a time-out
        std::uint64_t generation;     // of the handle it was submitted on
        bool heldPastTimeOut = false; // the board held it (never due) until its time-out
    };

    // The Board of that serial (any Board when serial is null); the board's
    // string descriptors are read under the lock, as every model call is.
    template <typename Board>
    Device* find(const char* serial)
    {
        for (Device& device : devices_) {
            if (dynamic_cast<Board*>(device.board.get()) != nullptr &&
                (serial == nullptr || *serial == '\0' || device.board->stringDescriptor(3) == serial)) {
                return &device;
            }
        }
        return nullptr;
    }

    // One endpoint's queue of transfers.
    using Queue = std::pair<const libusb_device*, unsigned char>;
    static Queue queueOf(const InFlight& entry);

    static bool reachable(const libusb_device* device, std::uint64_t generation)
    {
        return device->plugged && device->generation == generation;
    }
    // Waits while the board is silent, up to the time-out (0: for ever):
    // LIBUSB_SUCCESS once it answers, LIBUSB_ERROR_TIMEOUT, or
    // LIBUSB_ERROR_NO_DEVICE once the handle's board is gone.
    int waitForAnswer(std::unique_lock<std::mutex>& lock, const libusb_device_handle* handle, unsigned timeoutMs);
    // Counts bulk bytes moved; the board leaves once its plan says so.
    static void countStreamBytes(libusb_device* device, std::size_t bytes);

    // The context's next transfer to complete now, or inFlight_.end() with
    // dueAt set when the boards need more time.
    std::deque<InFlight>::iterator nextReady(const libusb_context* context, Clock::time_point now,
                                             Clock::time_point& dueAt);

    std::mutex mutex_;
    std::condition_variable wake_;
    // Never resized after construction: libusb_device pointers stay valid.
    std::vector<Device> devices_;
    std::deque<InFlight> inFlight_;
    // The contexts whose transfer's callback runs now, on some thread.
    std::vector<const libusb_context*> completing_;
    std::vector<const libusb_context*> interrupted_;
    int transfersAllocated_ = 0;
    int openHandles_ = 0;
};

// The process's engine, created on first use.
UsbEngine& engine();

} // namespace veltrano::sim::usb
