// SPDX-License-Identifier: MIT
#include "UsbHackRfInspection.h"

#include "UsbHackRfBoard.h"
#include "usb-engine/UsbEngine.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

using veltrano::sim::usb::engine;
using veltrano::sim::usbhackrf::UsbHackRfBoard;

namespace {

// Runs f with the HackRF of this serial (null: the first) under the engine's
// lock; 0 when the bus holds no such board.
template <typename R, typename F>
R withHackRf(const char* serial, F f)
{
    return engine().withBoard<UsbHackRfBoard>(serial, R{}, f);
}

} // namespace

extern "C" {

uint64_t veltrano_usb_hackrf_rx_bytes_delivered_of(const char* serial)
{
    return withHackRf<uint64_t>(serial, [](const UsbHackRfBoard& board) { return board.receivedBytesDelivered(); });
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_tune_of(const char* serial)
{
    return withHackRf<uint64_t>(serial, [](const UsbHackRfBoard& board) { return board.receivePositionAtLastTune(); });
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_rate_change(void)
{
    return withHackRf<uint64_t>(nullptr,
                                [](const UsbHackRfBoard& board) { return board.receivePositionAtLastRateChange(); });
}

uint64_t veltrano_usb_hackrf_tx_bytes_of(const char* serial)
{
    return withHackRf<uint64_t>(serial, [](const UsbHackRfBoard& board) { return board.transmittedBytes(); });
}

uint64_t veltrano_usb_hackrf_tx_copy_of(const char* serial, uint8_t* out, uint64_t offset, uint64_t capacity)
{
    return withHackRf<uint64_t>(serial, [&](const UsbHackRfBoard& board) -> uint64_t {
        const auto& recorded = board.transmitted();
        if (out == nullptr || offset >= recorded.size()) {
            return 0;
        }
        const uint64_t count = std::min<uint64_t>(capacity, recorded.size() - offset);
        std::memcpy(out, recorded.data() + offset, count);
        return count;
    });
}

int64_t veltrano_usb_hackrf_core(const char* name)
{
    const std::string_view wanted = name != nullptr ? name : "";
    return withHackRf<int64_t>(nullptr, [&](const UsbHackRfBoard& board) -> int64_t {
        const veltrano::sim::usbhackrf::SampleCore& core = board.core();
        const std::pair<std::string_view, int64_t> values[] = {{"shortfalls", core.shortfalls()},
                                                               {"longest_shortfall", core.longestShortfall()},
                                                               {"shortfall_limit", core.shortfallLimit()},
                                                               {"core_mode", core.mode()},
                                                               {"core_error", core.error()}};
        for (const auto& [key, value] : values) {
            if (key == wanted) {
                return value;
            }
        }
        return -1;
    });
}

namespace {

void holdHost(UsbHackRfBoard::StreamSide side, const char* holds)
{
    withHackRf<int>(nullptr, [&](UsbHackRfBoard& board) {
        board.holdHost(side, veltrano::sim::usbhackrf::hostHoldsFromText(holds != nullptr ? holds : ""));
        return 0;
    });
}

} // namespace

void veltrano_usb_hackrf_hold_host(const char* holds)
{
    holdHost(UsbHackRfBoard::StreamSide::receive, holds);
}

void veltrano_usb_hackrf_hold_host_tx(const char* holds)
{
    holdHost(UsbHackRfBoard::StreamSide::transmit, holds);
}

void veltrano_usb_hackrf_set_usb_api(uint16_t version)
{
    withHackRf<int>(nullptr, [&](UsbHackRfBoard& board) {
        board.setUsbApiVersion(version);
        return 0;
    });
}

int veltrano_usb_hackrf_transceiver_mode_of(const char* serial)
{
    return withHackRf<int>(serial, [](const UsbHackRfBoard& board) { return static_cast<int>(board.mode()); });
}

void veltrano_usb_hackrf_unplug_of(const char* serial)
{
    engine().unplug(engine().deviceOf<UsbHackRfBoard>(serial));
}

void veltrano_usb_hackrf_replug_of(const char* serial)
{
    engine().replug(engine().deviceOf<UsbHackRfBoard>(serial));
}

void veltrano_usb_hackrf_stall_of(const char* serial, int stalled)
{
    engine().stall(engine().deviceOf<UsbHackRfBoard>(serial), stalled != 0);
}

uint64_t veltrano_usb_hackrf_rx_bytes_delivered(void)
{
    return veltrano_usb_hackrf_rx_bytes_delivered_of(nullptr);
}

uint64_t veltrano_usb_hackrf_rx_position_at_last_tune(void)
{
    return veltrano_usb_hackrf_rx_position_at_last_tune_of(nullptr);
}

uint64_t veltrano_usb_hackrf_tx_bytes(void)
{
    return veltrano_usb_hackrf_tx_bytes_of(nullptr);
}

uint64_t veltrano_usb_hackrf_tx_copy(uint8_t* out, uint64_t offset, uint64_t capacity)
{
    return veltrano_usb_hackrf_tx_copy_of(nullptr, out, offset, capacity);
}

int veltrano_usb_hackrf_transceiver_mode(void)
{
    return veltrano_usb_hackrf_transceiver_mode_of(nullptr);
}

void veltrano_usb_hackrf_unplug(void)
{
    veltrano_usb_hackrf_unplug_of(nullptr);
}

void veltrano_usb_hackrf_replug(void)
{
    veltrano_usb_hackrf_replug_of(nullptr);
}

void veltrano_usb_hackrf_stall(int stalled)
{
    veltrano_usb_hackrf_stall_of(nullptr, stalled);
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

double veltrano_usb_hackrf_setting_of(const char* serial, const char* name)
{
    const std::string_view wanted = name == nullptr ? "" : name;
    return engine().withBoard<UsbHackRfBoard>(serial, -1.0, [wanted](const UsbHackRfBoard& board) {
        const auto& radio = board.radio();
        const std::pair<std::string_view, double> settings[] = {
            {"lna_gain", radio.lnaGainDb},
            {"vga_gain", radio.vgaGainDb},
            {"tx_vga_gain", radio.txVgaGainDb},
            {"baseband_filter", radio.basebandFilterHz},
            {"sample_rate", board.sampleRateHz()},
            {"amplifier", radio.amplifierOn ? 1.0 : 0.0},
            {"antenna_power", radio.antennaPowerOn ? 1.0 : 0.0},
        };
        for (const auto& [key, value] : settings) {
            if (key == wanted) {
                return value;
            }
        }
        return -1.0;
    });
}

double veltrano_usb_hackrf_setting(const char* name)
{
    return veltrano_usb_hackrf_setting_of(nullptr, name);
}

void veltrano_usb_hackrf_stack_operacakes(const char* addresses)
{
    const auto stack = veltrano::sim::OperaCakeFirmware::addressesFromText(addresses != nullptr ? addresses : "");
    withHackRf<int>(nullptr, [&](UsbHackRfBoard& board) {
        board.stackOperaCakes(stack);
        return 0;
    });
}

int veltrano_usb_hackrf_operacake(uint8_t address, const char* name)
{
    const std::string_view wanted = name != nullptr ? name : "";
    return engine().withBoard<UsbHackRfBoard>(nullptr, -1, [&](const UsbHackRfBoard& board) -> int {
        const auto& cakes = board.operaCakes();
        const auto ports = cakes.ports(address);
        if (!ports) {
            return -1;
        }
        const std::pair<std::string_view, int> items[] = {{"port_a", ports->a},
                                                          {"port_b", ports->b},
                                                          {"mode", cakes.mode(address)},
                                                          {"ranges", static_cast<int>(cakes.rangeCount())},
                                                          {"dwell_times", static_cast<int>(cakes.dwellTimeCount())}};
        for (const auto& [key, value] : items) {
            if (key == wanted) {
                return value;
            }
        }
        return -1;
    });
}

} // extern "C"
