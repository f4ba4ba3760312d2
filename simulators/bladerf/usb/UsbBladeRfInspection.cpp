// SPDX-License-Identifier: MIT
#include "UsbBladeRfInspection.h"

#include "BladeRfBus.h"
#include "UsbBladeRfBoard.h"
#include "common/NamedValue.h"
#include "usb-engine/UsbEngine.h"

#include <chrono>

using veltrano::sim::named;
using veltrano::sim::usb::Clock;
using veltrano::sim::usb::engine;
using veltrano::sim::usbbladerf::BladeRfFpga;
using veltrano::sim::usbbladerf::Direction;
using veltrano::sim::usbbladerf::UsbBladeRfBoard;

namespace {

// The micro's RFIC commands that carry a tuning.
constexpr unsigned kRficSampleRate = 3;
constexpr unsigned kRficFrequency = 4;
constexpr unsigned kRficBandwidth = 5;
constexpr unsigned kRficGainMode = 6;
constexpr unsigned kRficGain = 7;

// Runs f with the bladeRF of this serial (null or empty: the first) under
// the engine's lock; absent when the bus holds no such board.
template <typename R, typename F>
R withBladeRf(const char* serial, F f, R absent = R{})
{
    return engine().withBoard<UsbBladeRfBoard>(serial, absent, f);
}

libusb_device* bladeRfDevice(const char* serial)
{
    return engine().deviceOf<UsbBladeRfBoard>(serial);
}

} // namespace

extern "C" {

uint64_t veltrano_usb_bladerf_rx_samples_delivered(const char* serial)
{
    return withBladeRf<uint64_t>(serial, [](const UsbBladeRfBoard& board) { return board.rxSamplesDelivered(); });
}

uint64_t veltrano_usb_bladerf_rx_samples_dropped(const char* serial)
{
    return withBladeRf<uint64_t>(serial, [](const UsbBladeRfBoard& board) { return board.rxSamplesDropped(); });
}

void veltrano_usb_bladerf_rx_skip(const char* serial, uint64_t periods)
{
    withBladeRf<int>(serial, [&](UsbBladeRfBoard& board) {
        board.skipReceive(periods);
        return 0;
    });
}

void veltrano_usb_bladerf_rx_hold_beyond(const char* serial, uint64_t delivered)
{
    withBladeRf<int>(serial, [&](UsbBladeRfBoard& board) {
        board.holdReceiveBeyond(delivered);
        return 0;
    });
    engine().boardChanged();
}

uint64_t veltrano_usb_bladerf_tx_samples(const char* serial)
{
    return withBladeRf<uint64_t>(serial, [](const UsbBladeRfBoard& board) { return board.txSamplesReceived(); });
}

uint64_t veltrano_usb_bladerf_timestamp(const char* serial, int direction)
{
    return withBladeRf<uint64_t>(serial, [&](const UsbBladeRfBoard& board) {
        return board.counter(direction == 1 ? Direction::tx : Direction::rx, Clock::now());
    });
}

uint64_t veltrano_usb_bladerf_retunes_applied(const char* serial)
{
    return withBladeRf<uint64_t>(
        serial, [](const UsbBladeRfBoard& board) { return static_cast<uint64_t>(board.appliedRetunes().size()); });
}

int veltrano_usb_bladerf_retune(const char* serial, uint64_t index, int* direction, uint64_t* applied_at,
                                uint64_t* requested_at)
{
    return withBladeRf<int>(serial, [&](const UsbBladeRfBoard& board) {
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

void veltrano_usb_bladerf_unplug(const char* serial)
{
    engine().unplug(bladeRfDevice(serial));
}

void veltrano_usb_bladerf_replug(const char* serial)
{
    engine().replug(bladeRfDevice(serial));
}

void veltrano_usb_bladerf_stall(const char* serial, int stalled)
{
    engine().stall(bladeRfDevice(serial), stalled != 0);
}

int veltrano_usb_bladerf_rx_tuning_at(const char* serial, uint64_t timestamp, uint32_t* nint, uint32_t* nfrac)
{
    return withBladeRf<int>(serial, [&](const UsbBladeRfBoard& board) {
        const auto* retune = board.tuningAt(Direction::rx, timestamp);
        if (retune == nullptr) {
            return 0;
        }
        if (nint != nullptr) {
            *nint = retune->nint;
        }
        if (nfrac != nullptr) {
            *nfrac = retune->nfrac;
        }
        return 1;
    });
}

uint8_t veltrano_usb_bladerf_lms_register(const char* serial, uint8_t address)
{
    return withBladeRf<uint8_t>(serial,
                                [&](const UsbBladeRfBoard& board) { return board.fpga().lmsRegister(address); });
}

uint32_t veltrano_usb_bladerf_rffe_control(const char* serial)
{
    return withBladeRf<uint32_t>(
        serial, [](const UsbBladeRfBoard& board) { return static_cast<uint32_t>(board.fpga().stored('C', 3, 0)); });
}

int64_t veltrano_usb_bladerf_xb200(const char* serial, const char* name)
{
    return withBladeRf<int64_t>(
        serial,
        [&](const UsbBladeRfBoard& board) {
            const std::uint32_t gpio = board.fpga().expansionGpio();
            return named<int64_t>(name, {{"gpio", gpio},
                                         {"directions", board.fpga().expansionDirections()},
                                         {"rx_path", gpio >> 4 & 3},
                                         {"tx_path", gpio >> 2 & 3},
                                         {"rx_filter", gpio >> 28 & 3},
                                         {"tx_filter", gpio >> 26 & 3}});
        },
        int64_t{-1});
}

int64_t veltrano_usb_bladerf_rfic(const char* serial, unsigned command, unsigned channel)
{
    return withBladeRf<int64_t>(serial, [&](UsbBladeRfBoard& board) {
        BladeRfFpga& fpga = board.fpga();
        if (!fpga.rficDrivenByHost()) {
            return static_cast<int64_t>(fpga.stored('E', 1, (channel & 0xF) << 8 | (command & 0xFF)));
        }
        fpga.journalRficChanges();
        const veltrano::sim::usbbladerf::Ad9361Tuning tuning = fpga.rficTuning();
        const veltrano::sim::usbbladerf::Ad9361Channel& decoded = (channel & 1) != 0 ? tuning.tx : tuning.rx;
        switch (command) {
        case kRficSampleRate:
            return static_cast<int64_t>(decoded.sampleRateHz);
        case kRficFrequency:
            return static_cast<int64_t>(decoded.frequencyHz);
        case kRficBandwidth:
            return static_cast<int64_t>(decoded.bandwidthHz);
        case kRficGain:
            // Each channel's own registers: RX1/TX1 are libbladeRF's channels 0 and 1, RX2/TX2 2 and 3.
            return veltrano::sim::usbbladerf::channelGain(fpga.ad9361Registers(), (channel & 1) != 0,
                                                          (channel >> 1) & 1, tuning.rx.frequencyHz);
        case kRficGainMode:
            // Numbered as the library numbers its modes: manual 1, fast attack 2, slow 3, hybrid 4.
            return (channel & 1) != 0 ? int64_t{0}
                                      : static_cast<int64_t>(veltrano::sim::usbbladerf::Ad9361::gainControl(
                                            fpga.ad9361Registers(), (channel >> 1) & 1)) +
                                            1;
        default:
            return int64_t{0};
        }
    });
}

double veltrano_usb_bladerf_sample_rate(const char* serial, int direction)
{
    return withBladeRf<double>(serial, [&](const UsbBladeRfBoard& board) {
        return board.fpga().clock(direction == 1 ? Direction::tx : Direction::rx).rateHz();
    });
}

void veltrano_usb_bladerf_rfic_faults(const char* serial, int pll_never_locks, int calibration_never_ends)
{
    withBladeRf<int>(serial, [&](UsbBladeRfBoard& board) {
        board.fpga().setRficFaults({pll_never_locks != 0, calibration_never_ends != 0});
        return 0;
    });
}

int veltrano_usb_bladerf_triggered(const char* serial, uint64_t* bus_ns, uint64_t* tick)
{
    using veltrano::sim::usbbladerf::bladeRfBus;
    return withBladeRf<int>(
        serial,
        [&](const UsbBladeRfBoard& board) {
            const auto fire = bladeRfBus().triggerLine.lastFireOf(board.fpga().trigger(Direction::rx).serial);
            if (!fire) {
                return -1;
            }
            if (bus_ns != nullptr) {
                *bus_ns = static_cast<uint64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(fire->firedAt - bladeRfBus().start).count());
            }
            if (tick != nullptr) {
                *tick = fire->firedTick;
            }
            return 0;
        },
        -1);
}

void veltrano_usb_bladerf_wire_reference(const char* serial, uint64_t hz, const char* from_serial)
{
    withBladeRf<int>(serial, [&](UsbBladeRfBoard& board) {
        board.fpga().wireReference(hz, from_serial != nullptr ? from_serial : "");
        return 0;
    });
}

int64_t veltrano_usb_bladerf_clock(const char* serial, const char* name)
{
    return withBladeRf<int64_t>(
        serial,
        [&](const UsbBladeRfBoard& board) {
            const veltrano::sim::bladerf::BoardClock clock = board.fpga().referenceClock();
            return named<int64_t>(name, {{"pll_enabled", clock.pllEnabled},
                                         {"pll_reference_hz", static_cast<int64_t>(clock.pllReferenceHz)},
                                         {"pll_locked", board.fpga().pllLocked()},
                                         {"clock_select", clock.externalSelected},
                                         {"clock_output", clock.clockOutput},
                                         {"tamer_mode", clock.tamerMode}});
        },
        int64_t{-1});
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

} // extern "C"
