// SPDX-License-Identifier: MIT
#pragma once

// One emulated board as the USB engine sees it: the identity its descriptors
// carry, the vendor control requests and synchronous bulk exchanges it
// answers, and the pace at which its bulk endpoints move data. A model is
// not thread-safe: the engine calls it only under its own lock.

#include "common/SimJournal.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrano::sim::usb {

// A board setting from the environment: the variable's value, or the fallback
// when it is unset or empty.
std::string environmentText(const char* variable, const char* fallback);
// The same for the board's variable <prefix><suffix> (prefix VELTRANO_USB_HACKRF, suffix _SERIAL).
std::string environmentText(const std::string& prefix, const char* suffix, const char* fallback);

using Clock = std::chrono::steady_clock;

// A vendor control request as it arrives: the setup packet and its data stage.
struct ControlRequest {
    bool deviceToHost = false;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    unsigned char* data = nullptr;
    std::uint16_t length = 0;
};

// What the device descriptor and the bus report.
struct UsbIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t usbVersion = 0x0200;
    std::uint16_t deviceRelease = 0;
    std::uint8_t maxPacketSize0 = 64;
    // A libusb_speed value.
    int speed = 3;
    // Interface 0's alternate settings; the bulk endpoints belong to streamingSetting.
    int alternateSettings = 1;
    int streamingSetting = 0;
    std::uint16_t bulkPacketSize = 512;
    std::vector<unsigned char> bulkEndpoints;
};

// When a board leaves the bus by itself (0: never): once this many bytes have
// moved on its bulk endpoints (either direction, counted over the process),
// or once it has been listed this many times (gone by the next listing).
struct UnplugPlan {
    std::uint64_t afterStreamBytes = 0;
    std::uint64_t afterListings = 0;
};

// A board's plan from <prefix>_UNPLUG_AFTER_BYTES and <prefix>_UNPLUG_AFTER_LISTINGS
// (unset: never).
UnplugPlan unplugPlanFromEnvironment(const std::string& prefix);

class UsbBoardModel {
public:
    // The journal's variable names the file this board's lines go to.
    explicit UsbBoardModel(const char* journalVariable) : journal_(journalVariable) {}
    virtual ~UsbBoardModel() = default;
    UsbBoardModel(const UsbBoardModel&) = delete;
    UsbBoardModel& operator=(const UsbBoardModel&) = delete;

    virtual UsbIdentity identity() const = 0;
    // String descriptors by index (1 manufacturer, 2 product, 3 serial); empty when absent.
    virtual std::string stringDescriptor(std::uint8_t index) const = 0;

    // Handles one vendor request; returns the bytes of the data stage, or a
    // negative value when the board stalls the request (one it does not know).
    virtual int control(const ControlRequest& request) = 0;
    // One line describing a request for the journal.
    virtual std::string describe(const ControlRequest& request) const;

    // libusb_reset_device and libusb_set_interface_alt_setting.
    virtual void reset() {}
    virtual void selectAlternateSetting(int /*setting*/) {}

    // A blocking bulk exchange (libusb_bulk_transfer); bytes moved or a libusb error.
    virtual int bulk(unsigned char endpoint, unsigned char* data, std::size_t length);

    // Whether a transfer on this endpoint can make progress now.
    virtual bool endpointActive(unsigned char endpoint) const = 0;
    // When the first transfer queued on this endpoint, of this length, is due;
    // Clock::time_point::max() holds it, and it ends only at its time-out.
    virtual Clock::time_point dueAt(unsigned char endpoint, std::size_t length, Clock::time_point now) = 0;
    // Completes a due transfer: fills or takes its buffer and moves the board's
    // clock on; returns the transfer's actual length.
    virtual std::size_t complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                                 Clock::time_point now) = 0;

    Journal& journal() { return journal_; }

    // Set by whoever puts the board on the bus, before the engine starts.
    void planUnplug(const UnplugPlan& plan) { unplugPlan_ = plan; }
    const UnplugPlan& unplugPlan() const { return unplugPlan_; }

private:
    Journal journal_;
    UnplugPlan unplugPlan_;
};

} // namespace veltrano::sim::usb
