// SPDX-License-Identifier: MIT
// The bladeRF stand-in's bus: one bladeRF x40.
#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::make_unique<usbbladerf::UsbBladeRfBoard>(usbbladerf::BladeRfKind::x40, "VELTRANO_USB_BLADERF",
                                                                   usbbladerf::kDefaultSerial));
    return boards;
}

} // namespace veltrano::sim::usb
