// SPDX-License-Identifier: MIT
// A bus with several boards, for programs that stream from many at once: two
// HackRF Ones, then a bladeRF x40. The first HackRF and the bladeRF read the
// variables of their single-board buses; the second HackRF reads its own,
// VELTRANO_USB_HACKRF2_* (serial, journal, capture, planned unplug), and has
// a serial of its own unless that names one. The first HackRF's sync output
// is cabled to both HackRFs' sync inputs: one wire, its time counted from the
// bus's start.
#include "UsbBladeRfBoard.h"
#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

namespace veltrano::sim::usb {

std::vector<std::unique_ptr<UsbBoardModel>> boardsOnTheBus()
{
    auto first = std::make_unique<usbhackrf::UsbHackRfBoard>();
    auto second =
        std::make_unique<usbhackrf::UsbHackRfBoard>("VELTRANO_USB_HACKRF2", "00000000000000002b6e2e5f457863c8");
    const auto wire = std::make_shared<hackrf::SyncWire>();
    first->joinSyncWire(wire, true);
    second->joinSyncWire(wire, false);
    std::vector<std::unique_ptr<UsbBoardModel>> boards;
    boards.push_back(std::move(first));
    boards.push_back(std::move(second));
    boards.push_back(std::make_unique<usbbladerf::UsbBladeRfBoard>(usbbladerf::BladeRfKind::x40, "VELTRANO_USB_BLADERF",
                                                                   usbbladerf::kDefaultSerial));
    return boards;
}

} // namespace veltrano::sim::usb
