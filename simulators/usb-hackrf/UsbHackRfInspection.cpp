// SPDX-License-Identifier: MIT
#include "UsbHackRfInspection.h"

#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

#include <algorithm>
#include <cstring>

using veltrano::sim::usb::engine;
using veltrano::sim::usbhackrf::UsbHackRfBoard;

extern "C" {

uint64_t veltrano_usb_hackrf_rx_bytes_delivered(void)
{
    return engine().withBoard<UsbHackRfBoard>(
        [](const UsbHackRfBoard& board) { return board.receivedBytesDelivered(); });
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_tune(void)
{
    return engine().withBoard<UsbHackRfBoard>(
        [](const UsbHackRfBoard& board) { return board.receivePositionAtLastTune(); });
}

uint64_t veltrano_usb_hackrf_tx_bytes(void)
{
    return engine().withBoard<UsbHackRfBoard>([](const UsbHackRfBoard& board) { return board.transmittedBytes(); });
}

uint64_t veltrano_usb_hackrf_tx_copy(uint8_t* out, uint64_t offset, uint64_t capacity)
{
    return engine().withBoard<UsbHackRfBoard>([&](const UsbHackRfBoard& board) -> uint64_t {
        const auto& recorded = board.transmitted();
        if (out == nullptr || offset >= recorded.size()) {
            return 0;
        }
        const uint64_t count = std::min<uint64_t>(capacity, recorded.size() - offset);
        std::memcpy(out, recorded.data() + offset, count);
        return count;
    });
}

int veltrano_usb_hackrf_transfers_in_flight(void)
{
    return engine().transfersInFlight();
}

int veltrano_usb_hackrf_transfers_allocated(void)
{
    return engine().transfersAllocated();
}

int veltrano_usb_hackrf_open_handles(void)
{
    return engine().openHandles();
}

int veltrano_usb_hackrf_transceiver_mode(void)
{
    return engine().withBoard<UsbHackRfBoard>(
        [](const UsbHackRfBoard& board) { return static_cast<int>(board.mode()); });
}

void veltrano_usb_hackrf_unplug(void)
{
    engine().unplug(engine().deviceOf<UsbHackRfBoard>());
}

void veltrano_usb_hackrf_replug(void)
{
    engine().replug(engine().deviceOf<UsbHackRfBoard>());
}

void veltrano_usb_hackrf_stall(int stalled)
{
    engine().stall(engine().deviceOf<UsbHackRfBoard>(), stalled != 0);
}

} // extern "C"
