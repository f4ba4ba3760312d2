// SPDX-License-Identifier: MIT
// A bus with both boards, for programs that drive both host libraries in one
// process: a HackRF One, then a bladeRF x40.
#include "UsbBladeRfBoard.h"
#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::make_unique<usbhackrf::UsbHackRfBoard>());
    boards.push_back(std::make_unique<usbbladerf::UsbBladeRfBoard>(usbbladerf::BladeRfKind::x40, "VELTRANO_USB_BLADERF",
                                                                   usbbladerf::kDefaultSerial));
    return boards;
}

} // namespace veltrano::sim::usb
