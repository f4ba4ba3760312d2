// SPDX-License-Identifier: MIT
// A bus with two bladeRFs, for programs that stream from both at once or
// chain them by their trigger pins and clocks: the first reads the variables
// of its single-board bus (VELTRANO_USB_BLADERF_*), the second, a 2.0 micro,
// its own, VELTRANO_USB_BLADERF2_* (serial, journal, capture, planned
// unplug), with a serial of its own unless that names one. The first is an
// x40, or a second micro where the build asks for two (usb-two-micro, for one
// board's clock out into the other's clock input).
#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    using usbbladerf::BladeRfKind;
    using usbbladerf::UsbBladeRfBoard;
#ifdef VELTRANO_TWO_MICROS
    constexpr BladeRfKind kFirst = BladeRfKind::micro;
#else
    constexpr BladeRfKind kFirst = BladeRfKind::x40;
#endif
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::make_unique<UsbBladeRfBoard>(kFirst, "VELTRANO_USB_BLADERF", usbbladerf::kDefaultSerial));
    boards.push_back(
        std::make_unique<UsbBladeRfBoard>(BladeRfKind::micro, "VELTRANO_USB_BLADERF2", usbbladerf::kSecondSerial));
    return boards;
}

} // namespace veltrano::sim::usb
