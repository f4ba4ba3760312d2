// SPDX-License-Identifier: MIT
// The HackRF stand-in's bus: one HackRF One.
#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

#include <cstdint>
#include <cstdlib>

namespace veltrano::sim::usb {

namespace {

std::uint64_t countFromEnvironment(const char* name)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 0) : 0;
}

} // namespace

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    auto board = std::make_unique<usbhackrf::UsbHackRfBoard>();
    board->planUnplug({countFromEnvironment("VELTRANO_USB_HACKRF_UNPLUG_AFTER_BYTES"),
                       countFromEnvironment("VELTRANO_USB_HACKRF_UNPLUG_AFTER_LISTINGS")});
    boards.push_back(std::move(board));
    return boards;
}

} // namespace veltrano::sim::usb
