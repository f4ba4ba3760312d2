// SPDX-License-Identifier: MIT
#include "UsbHackRfInspection.h"

#include "UsbHackRfBoard.h"
#include "common/NamedValue.h"
#include "usb-engine/UsbEngine.h"

#include <algorithm>

using veltrano::sim::named;
using veltrano::sim::usb::engine;
using veltrano::sim::usbhackrf::UsbHackRfBoard;

namespace {

// Runs f with the HackRF of this serial (null or empty: the first) under the
// engine's lock; absent when the bus holds no such board.
template <typename R, typename F>
R withHackRf(const char* serial, F f, R absent = R{})
{
    return engine().withBoard<UsbHackRfBoard>(serial, absent, f);
}

libusb_device* deviceOf(const char* serial)
{
    return engine().deviceOf<UsbHackRfBoard>(serial);
}

void holdHost(const char* serial, UsbHackRfBoard::StreamSide side, const char* holds)
{
    withHackRf<int>(serial, [&](UsbHackRfBoard& board) {
        board.holdHost(side, veltrano::sim::hackrf::hostHoldsFromText(holds != nullptr ? holds : ""));
        return 0;
    });
}

} // namespace

extern "C" {

uint64_t veltrano_usb_hackrf_rx_bytes_delivered(const char* serial)
{
    return withHackRf<uint64_t>(serial, [](const UsbHackRfBoard& board) { return board.receivedBytesDelivered(); });
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_tune(const char* serial)
{
    return withHackRf<uint64_t>(serial, [](const UsbHackRfBoard& board) { return board.receivePositionAtLastTune(); });
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_rate_change(const char* serial)
{
    return withHackRf<uint64_t>(serial,
                                [](const UsbHackRfBoard& board) { return board.receivePositionAtLastRateChange(); });
}

uint64_t veltrano_usb_hackrf_tx_bytes(const char* serial)
{
    return withHackRf<uint64_t>(serial,
                                [](const UsbHackRfBoard& board) { return board.transmitted().recordedBytes(); });
}

uint64_t veltrano_usb_hackrf_tx_copy(const char* serial, uint8_t* out, uint64_t offset, uint64_t capacity)
{
    // Capacity beyond what a process can address copies no more than all.
    const auto most = static_cast<std::size_t>(std::min<uint64_t>(capacity, SIZE_MAX));
    return withHackRf<uint64_t>(
        serial, [&](const UsbHackRfBoard& board) { return board.transmitted().copy(out, offset, most); });
}

int64_t veltrano_usb_hackrf_core(const char* serial, const char* name)
{
    return withHackRf<int64_t>(
        serial,
        [&](const UsbHackRfBoard& board) {
            const veltrano::sim::hackrf::SampleCore& core = board.core();
            return named<int64_t>(name, {{"shortfalls", core.shortfalls()},
                                         {"longest_shortfall", core.longestShortfall()},
                                         {"shortfall_limit", core.shortfallLimit()},
                                         {"core_mode", core.mode()},
                                         {"core_error", core.error()}});
        },
        -1);
}

void veltrano_usb_hackrf_hold_host(const char* serial, const char* holds)
{
    holdHost(serial, UsbHackRfBoard::StreamSide::receive, holds);
}

void veltrano_usb_hackrf_hold_host_tx(const char* serial, const char* holds)
{
    holdHost(serial, UsbHackRfBoard::StreamSide::transmit, holds);
}

void veltrano_usb_hackrf_set_usb_api(const char* serial, uint16_t version)
{
    withHackRf<int>(serial, [&](UsbHackRfBoard& board) {
        board.setUsbApiVersion(version);
        return 0;
    });
}

int veltrano_usb_hackrf_transceiver_mode(const char* serial)
{
    return withHackRf<int>(serial, [](const UsbHackRfBoard& board) { return static_cast<int>(board.mode()); });
}

void veltrano_usb_hackrf_unplug(const char* serial)
{
    engine().unplug(deviceOf(serial));
}

void veltrano_usb_hackrf_replug(const char* serial)
{
    engine().replug(deviceOf(serial));
}

void veltrano_usb_hackrf_stall(const char* serial, int stalled)
{
    engine().stall(deviceOf(serial), stalled != 0);
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

double veltrano_usb_hackrf_setting(const char* serial, const char* name)
{
    return withHackRf<double>(
        serial,
        [&](const UsbHackRfBoard& board) {
            const auto& radio = board.radio();
            return named<double>(name, {{"lna_gain", radio.lnaGainDb.load()},
                                        {"vga_gain", radio.vgaGainDb.load()},
                                        {"tx_vga_gain", radio.txVgaGainDb.load()},
                                        {"baseband_filter", radio.basebandFilterHz.load()},
                                        {"sample_rate", radio.sampleRateHz.load()},
                                        {"amplifier", radio.amplifierOn.load() ? 1.0 : 0.0},
                                        {"antenna_power", radio.antennaPowerOn.load() ? 1.0 : 0.0}});
        },
        -1.0);
}

void veltrano_usb_hackrf_stack_operacakes(const char* serial, const char* addresses)
{
    const auto stack = veltrano::sim::OperaCakeFirmware::addressesFromText(addresses != nullptr ? addresses : "");
    withHackRf<int>(serial, [&](UsbHackRfBoard& board) {
        board.stackOperaCakes(stack);
        return 0;
    });
}

int veltrano_usb_hackrf_operacake(const char* serial, uint8_t address, const char* name)
{
    return withHackRf<int>(
        serial,
        [&](const UsbHackRfBoard& board) {
            const auto& cakes = board.operaCakes();
            const auto ports = cakes.ports(address);
            if (!ports) {
                return -1;
            }
            return named<int>(name, {{"port_a", ports->a},
                                     {"port_b", ports->b},
                                     {"mode", cakes.mode(address)},
                                     {"ranges", static_cast<int>(cakes.rangeCount())},
                                     {"dwell_times", static_cast<int>(cakes.dwellTimeCount())}});
        },
        -1);
}

int veltrano_usb_hackrf_pulse_sync(const char* serial)
{
    const int released = withHackRf<int>(
        serial, [](UsbHackRfBoard& board) { return static_cast<int>(board.pulseSyncInput()); }, -1);
    // The released board's transfers are due now: the event handlers look again.
    engine().boardChanged();
    return released;
}

int veltrano_usb_hackrf_synced_start(const char* serial, int64_t* ns, uint64_t* sample)
{
    return withHackRf<int>(serial, [&](const UsbHackRfBoard& board) {
        const auto& start = board.syncedStart();
        if (!start || board.waitingForPulse()) {
            return 0;
        }
        if (ns != nullptr) {
            *ns = start->ns;
        }
        if (sample != nullptr) {
            *sample = start->sample;
        }
        return 1;
    });
}

} // extern "C"
