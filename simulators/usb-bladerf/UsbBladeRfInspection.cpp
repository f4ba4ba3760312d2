// SPDX-License-Identifier: MIT
#include "UsbBladeRfInspection.h"

#include "UsbBladeRfBoard.h"
#include "usb-engine/UsbEngine.h"

using veltrano::sim::usb::Clock;
using veltrano::sim::usb::engine;
using veltrano::sim::usbbladerf::Direction;
using veltrano::sim::usbbladerf::UsbBladeRfBoard;

extern "C" {

uint64_t veltrano_usb_bladerf_rx_samples_delivered(void)
{
    return engine().withBoard<UsbBladeRfBoard>([](const UsbBladeRfBoard& board) { return board.rxSamplesDelivered(); });
}

uint64_t veltrano_usb_bladerf_rx_samples_dropped(void)
{
    return engine().withBoard<UsbBladeRfBoard>([](const UsbBladeRfBoard& board) { return board.rxSamplesDropped(); });
}

uint64_t veltrano_usb_bladerf_tx_samples(void)
{
    return engine().withBoard<UsbBladeRfBoard>([](const UsbBladeRfBoard& board) { return board.txSamplesReceived(); });
}

uint64_t veltrano_usb_bladerf_timestamp(int direction)
{
    return engine().withBoard<UsbBladeRfBoard>([&](const UsbBladeRfBoard& board) {
        return board.counter(direction == 1 ? Direction::tx : Direction::rx, Clock::now());
    });
}

uint64_t veltrano_usb_bladerf_retunes_applied(void)
{
    return engine().withBoard<UsbBladeRfBoard>(
        [](const UsbBladeRfBoard& board) { return static_cast<uint64_t>(board.appliedRetunes().size()); });
}

int veltrano_usb_bladerf_retune(uint64_t index, int* direction, uint64_t* applied_at, uint64_t* requested_at)
{
    return engine().withBoard<UsbBladeRfBoard>([&](const UsbBladeRfBoard& board) {
        const auto& retunes = board.appliedRetunes();
        if (index >= retunes.size()) {
            return 0;
        }
        const auto& retune = retunes[index];
        if (direction != nullptr) {
            *direction = retune.direction == Direction::tx ? 1 : 0;
        }
        if (applied_at != nullptr) {
            *applied_at = retune.appliedAt;
        }
        if (requested_at != nullptr) {
            *requested_at = retune.requestedAt;
        }
        return 1;
    });
}

uint8_t veltrano_usb_bladerf_lms_register(uint8_t address)
{
    return engine().withBoard<UsbBladeRfBoard>(
        [&](const UsbBladeRfBoard& board) { return board.fpga().lmsRegister(address); });
}

uint32_t veltrano_usb_bladerf_rffe_control(void)
{
    return engine().withBoard<UsbBladeRfBoard>(
        [](const UsbBladeRfBoard& board) { return static_cast<uint32_t>(board.fpga().stored('C', 3, 0)); });
}

int64_t veltrano_usb_bladerf_rfic(unsigned command, unsigned channel)
{
    return engine().withBoard<UsbBladeRfBoard>([&](const UsbBladeRfBoard& board) {
        return static_cast<int64_t>(board.fpga().stored('E', 1, (channel & 0xF) << 8 | (command & 0xFF)));
    });
}

int veltrano_usb_bladerf_transfers_in_flight(void)
{
    return engine().transfersInFlight();
}

int veltrano_usb_bladerf_transfers_allocated(void)
{
    return engine().transfersAllocated();
}

int veltrano_usb_bladerf_open_handles(void)
{
    return engine().openHandles();
}

void veltrano_usb_bladerf_unplug(void)
{
    engine().unplug(engine().deviceOf<UsbBladeRfBoard>());
}

void veltrano_usb_bladerf_replug(void)
{
    engine().replug(engine().deviceOf<UsbBladeRfBoard>());
}

void veltrano_usb_bladerf_stall(int stalled)
{
    engine().stall(engine().deviceOf<UsbBladeRfBoard>(), stalled != 0);
}

} // extern "C"
