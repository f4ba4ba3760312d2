// SPDX-License-Identifier: MIT
// The bladeRF 2.0 micro stand-in's bus: one bladeRF 2.0 micro (xA4).
#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::make_unique<usbbladerf::UsbBladeRfBoard>(usbbladerf::BladeRfKind::micro,
                                                                   "VELTRANO_USB_BLADERF", usbbladerf::kDefaultSerial));
    return boards;
}

} // namespace veltrano::sim::usb
