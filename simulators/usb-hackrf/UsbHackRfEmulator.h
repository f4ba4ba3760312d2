// SPDX-License-Identifier: MIT
#pragma once

// The state behind the libusb stand-in: one emulated HackRF One and the
// asynchronous transfers submitted to it. Transfers complete only inside
// handleEvents, on whichever thread the host library runs its event loop, at
// the pace the board's programmed sample rate sets; a cancelled transfer
// completes there too, as cancelled. Everything is guarded by one mutex,
// which is never held while a transfer's callback runs (callbacks resubmit).

#include "UsbHackRfBoard.h"

#include "common/SimJournal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

struct libusb_transfer;
struct timeval;

namespace veltrano::sim::usbhackrf {

class Emulator {
public:
    Emulator() : journal_("VELTRANO_USB_HACKRF_JOURNAL") {}

    // Runs f with the board under the lock.
    template <typename F>
    auto withBoard(F f)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return f(board_);
    }
    void log(std::string_view line) { journal_.write(line); }

    // A vendor control request; the libusb result (bytes moved or a stall).
    int control(const ControlRequest& request);

    int submit(libusb_transfer* transfer);
    int cancel(libusb_transfer* transfer);
    // Completes at most one transfer that is due (or cancelled), waiting up
    // to the timeout for one; a null timeout waits like libusb's default.
    int handleEvents(const timeval* timeout);
    // Makes a waiting handleEvents return early.
    void interruptEventHandler();

    void transferAllocated();
    // A freed transfer is forgotten even when the host frees it in flight.
    void transferFreed(libusb_transfer* transfer);
    void handleOpened();
    void handleClosed();

    int transfersInFlight();
    int transfersAllocated();
    int openHandles();

private:
    struct InFlight {
        libusb_transfer* transfer;
        bool cancelled;
    };
    using Clock = std::chrono::steady_clock;

    // The next transfer to complete now, or inFlight_.end() with dueAt set
    // when the board needs more time.
    std::deque<InFlight>::iterator nextReady(Clock::time_point now, Clock::time_point& dueAt);

    std::mutex mutex_;
    std::condition_variable wake_;
    UsbHackRfBoard board_;
    Journal journal_;
    std::deque<InFlight> inFlight_;
    Clock::time_point boardClock_{};
    bool interrupted_ = false;
    int transfersAllocated_ = 0;
    int openHandles_ = 0;
};

// The process's emulator, created on first use.
Emulator& emulator();

} // namespace veltrano::sim::usbhackrf
