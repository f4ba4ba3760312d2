// SPDX-License-Identifier: MIT
// A bus with two bladeRFs, for programs that stream from both at once: an x40
// reading the variables of its single-board bus (VELTRANO_USB_BLADERF_*), then
// a 2.0 micro reading its own, VELTRANO_USB_BLADERF2_* (serial, journal,
// capture, planned unplug), with a serial of its own unless that names one.
#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    using usbbladerf::BladeRfKind;
    using usbbladerf::UsbBladeRfBoard;
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(
        std::make_unique<UsbBladeRfBoard>(BladeRfKind::x40, "VELTRANO_USB_BLADERF", usbbladerf::kDefaultSerial));
    boards.push_back(
        std::make_unique<UsbBladeRfBoard>(BladeRfKind::micro, "VELTRANO_USB_BLADERF2", usbbladerf::kSecondSerial));
    return boards;
}

} // namespace veltrano::sim::usb
