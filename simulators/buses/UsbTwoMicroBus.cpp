// SPDX-License-Identifier: MIT
// A bus with two bladeRF 2.0 micros, for boards chained by their clocks (one
// board's clock out into the other's clock input) as well as by their
// trigger pins: the first reads the variables of its single-board bus
// (VELTRANO_USB_BLADERF_*), the second VELTRANO_USB_BLADERF2_*, with the
// serials the x40 and the micro have on the bus of two bladeRFs.
#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    using usbbladerf::BladeRfKind;
    using usbbladerf::UsbBladeRfBoard;
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(
        std::make_unique<UsbBladeRfBoard>(BladeRfKind::micro, "VELTRANO_USB_BLADERF", usbbladerf::kDefaultSerial));
    boards.push_back(
        std::make_unique<UsbBladeRfBoard>(BladeRfKind::micro, "VELTRANO_USB_BLADERF2", usbbladerf::kSecondSerial));
    return boards;
}

} // namespace veltrano::sim::usb
