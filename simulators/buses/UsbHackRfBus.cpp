// SPDX-License-Identifier: MIT
// The HackRF stand-in's bus: one HackRF One.
#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::make_unique<usbhackrf::UsbHackRfBoard>("VELTRANO_USB_HACKRF", usbhackrf::kFirstSerial));
    return boards;
}

} // namespace veltrano::sim::usb
