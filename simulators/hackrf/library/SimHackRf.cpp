// SPDX-License-Identifier: MIT
// The simulated libhackrf: the vendor's C entry points with the prototypes of
// its published header, backed by the scripted Simulator. One source builds
// every variant; a variant that lacks an entry point is compiled with
// SIM_OMIT_<name>, which leaves that definition out so the library does not
// export it.

#include "hackrf/library/VendorHeader.h"

#include "hackrf/library/HackRfSimulator.h"
#include "hackrf/library/SimHackRfControl.h"
#include "hackrf/library/TransferStream.h"

#include "common/SimCalls.h"
#include "common/SimJournal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The simulated device: its running stream (with the stream's own transfer
// thread), the armed flush callback and the last sweep plan. A client may ask
// hackrf_is_streaming on one thread while another stops the stream, so the
// stream pointer is guarded.
struct hackrf_device {
    static constexpr std::uint32_t kOpenMagic = 0x53494d48; // "SIMH"

    std::uint32_t magic = kOpenMagic;
    std::mutex mutex;
    std::shared_ptr<veltrano::sim::hackrf::TransferStream> stream;
    hackrf_flush_cb_fn flushCallback = nullptr;
    void* flushContext = nullptr;
    veltrano::sim::hackrf::SweepPlan sweepPlan;
    veltrano::sim::hackrf::RadioState radio;
    // The board this handle opened, and whether it is the first one, whose
    // sync output drives the shared wire.
    std::string serial;
    bool firstBoard = false;
    bool syncMode = false;        // hackrf_set_hw_sync_mode, in force from the next start
    std::uint64_t syncTicket = 0; // the running stream's wait for the pulse; 0: none
};

namespace veltrano::sim::hackrf {
namespace {

// libhackrf's own transfer size: what a paced stream delivers per callback
// unless the script sets a free-running size.
constexpr int kPacedTransferBytes = 262144;

// The list the caller sees, plus what hackrf_device_list_free needs to release
// it even when the script made devicecount differ from what was allocated.
// Standard layout with the list first, so a list pointer converts back.
struct ListAllocation {
    hackrf_device_list_t list;
    std::size_t allocatedSerials;
};

// The simple calls: check the device, record the call with its arguments, and
// succeed unless the script says otherwise.
template <typename Argument>
int recordDeviceCall(const char* function, hackrf_device* device, Argument argument)
{
    Simulator& sim = simulator();
    const int result = validDevice(device) ? sim.scriptedResult(function) : HACKRF_ERROR_INVALID_PARAM;
    sim.log((JournalLine(function) << argument).result(result));
    return result;
}

// Joins the device's stream thread, if any: no callback runs once this returns.
void endStream(hackrf_device* device)
{
    std::shared_ptr<TransferStream> stream;
    std::uint64_t ticket = 0;
    {
        const std::lock_guard<std::mutex> lock(device->mutex);
        stream = std::move(device->stream);
        ticket = std::exchange(device->syncTicket, 0);
    }
    if (ticket != 0) {
        simulator().syncWire().withdraw(ticket);
    }
    if (stream) {
        simulator().forgetStream(stream.get());
        stream->stop();
    }
}

void journalSyncedStart(const std::string& serial, const SyncedStart& start)
{
    simulator().journal().write(serial + ": " + syncedText(start));
}

// The stream waits on the wire; the pulse lets it go at the board's sample of
// that instant. The rate is the one at the start: the wake may run after the
// device has gone, so it holds nothing of it but the stream, weakly.
std::uint64_t awaitPulse(const std::string& serial, const std::shared_ptr<TransferStream>& stream, double rateHz)
{
    return simulator().syncWire().await(
        serial, [serial, rateHz, weak = std::weak_ptr<TransferStream>(stream)](std::int64_t ns) {
            if (const std::shared_ptr<TransferStream> waiting = weak.lock()) {
                const SyncedStart start{ns, sampleAt(ns, rateHz)};
                waiting->release(start);
                journalSyncedStart(serial, start);
            }
        });
}

// The first board's start pulses its sync output. Its own stream counts as
// synced only when the pulse released a board; otherwise it is a plain start.
void pulseFromFirstBoard(const std::string& serial, TransferStream& stream, double rateHz)
{
    std::int64_t ns = 0;
    if (simulator().syncWire().pulse({}, ns) == 0) {
        stream.release(std::nullopt);
        return;
    }
    const SyncedStart start{ns, sampleAt(ns, rateHz)};
    stream.release(start);
    journalSyncedStart(serial, start);
}

int startStreaming(const char* name, StreamKind kind, hackrf_device* device, hackrf_sample_block_cb_fn callback,
                   void* context)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && callback != nullptr && (result = sim.scriptedResult(name)) == HACKRF_SUCCESS) {
        endStream(device);
        StreamSettings settings;
        if (kind == StreamKind::Transmit) {
            settings = sim.script().txStream;
        } else {
            settings.freeRunBytes = sim.script().rxFreeRunBytes;
            settings.paced = sim.script().rxPaced;
            settings.scene = sim.script().rxScene;
            if (settings.paced && settings.freeRunBytes == 0) {
                settings.freeRunBytes = kPacedTransferBytes;
            }
        }
        // In sync mode the board waits for the pulse; the first board,
        // starting at once, is the pulse.
        bool pulses = false;
        std::shared_ptr<TransferStream> stream;
        {
            const std::lock_guard<std::mutex> lock(device->mutex);
            const bool waits = device->syncMode && !sim.script().hwSyncIgnored;
            pulses = device->firstBoard && !waits;
            stream = std::make_shared<TransferStream>(kind, callback, context, settings, device->sweepPlan,
                                                      device->flushCallback, device->flushContext, device->radio,
                                                      waits || pulses);
            device->stream = stream;
            if (waits) {
                device->syncTicket = awaitPulse(device->serial, stream, device->radio.sampleRateHz.load());
            }
        }
        sim.setCurrentStream(stream);
        if (pulses) {
            pulseFromFirstBoard(device->serial, *stream, device->radio.sampleRateHz.load());
        }
        result = HACKRF_SUCCESS;
    }
    sim.log(JournalLine(name).result(result));
    return result;
}

int stopStreaming(const char* name, hackrf_device* device)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device)) {
        endStream(device);
        result = HACKRF_SUCCESS;
    }
    sim.log(JournalLine(name).result(result));
    return result;
}

#if !defined(SIM_OMIT_hackrf_error_name)
const char* errorName(int code)
{
    switch (code) {
    case HACKRF_SUCCESS:
        return "HACKRF_SUCCESS";
    case HACKRF_TRUE:
        return "HACKRF_TRUE";
    case HACKRF_ERROR_INVALID_PARAM:
        return "HACKRF_ERROR_INVALID_PARAM";
    case HACKRF_ERROR_NOT_FOUND:
        return "HACKRF_ERROR_NOT_FOUND";
    case HACKRF_ERROR_BUSY:
        return "HACKRF_ERROR_BUSY";
    case HACKRF_ERROR_NO_MEM:
        return "HACKRF_ERROR_NO_MEM";
    case HACKRF_ERROR_LIBUSB:
        return "HACKRF_ERROR_LIBUSB";
    case HACKRF_ERROR_THREAD:
        return "HACKRF_ERROR_THREAD";
    case HACKRF_ERROR_STREAMING_THREAD_ERR:
        return "HACKRF_ERROR_STREAMING_THREAD_ERR";
    case HACKRF_ERROR_STREAMING_STOPPED:
        return "HACKRF_ERROR_STREAMING_STOPPED";
    case HACKRF_ERROR_STREAMING_EXIT_CALLED:
        return "HACKRF_ERROR_STREAMING_EXIT_CALLED";
    case HACKRF_ERROR_USB_API_VERSION:
        return "HACKRF_ERROR_USB_API_VERSION";
    case HACKRF_ERROR_NOT_LAST_DEVICE:
        return "HACKRF_ERROR_NOT_LAST_DEVICE";
    case HACKRF_ERROR_OTHER:
        return "HACKRF_ERROR_OTHER";
    default:
        return nullptr;
    }
}
#endif

// A gain request: refused or rounded as libhackrf does, then taken by the board.
int setGain(const char* function, hackrf_device* device, GainStage stage, std::uint32_t gainDb)
{
    Simulator& sim = simulator();
    const std::optional<std::uint32_t> sent = libraryGainRequest(stage, gainDb);
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && sent && (result = sim.scriptedResult(function)) == HACKRF_SUCCESS &&
        !device->radio.setGain(stage, *sent)) {
        result = HACKRF_ERROR_INVALID_PARAM;
    }
    sim.log((JournalLine(function) << gainDb).result(result));
    return result;
}

} // namespace
} // namespace veltrano::sim::hackrf

using namespace veltrano::sim;
using namespace veltrano::sim::hackrf;

namespace {

// A byte the board answers; revision and clock-in status need USB API
// 0x0106, as the real library checks before asking. Unused in the variant
// that lacks every call it serves.
[[maybe_unused]] int readByteAnswer(const char* function, hackrf_device* device, std::uint8_t* value,
                                    std::uint16_t usbApi, std::uint8_t answer)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && value != nullptr) {
        result = sim.script().usbApiVersion < usbApi ? HACKRF_ERROR_USB_API_VERSION : sim.scriptedResult(function);
        if (result == HACKRF_SUCCESS) {
            *value = answer;
        }
    }
    sim.log(JournalLine(function).result(result));
    return result;
}

// The checks libhackrf makes before it sends an Opera Cake request: the
// device, the firmware's USB API and (where it has one) the address; then a
// scripted failure, else success.
[[maybe_unused]] int operaCakeRequest(const char* function, hackrf_device* device, std::uint16_t usbApi,
                                      std::optional<std::uint8_t> address)
{
    Simulator& sim = simulator();
    if (!validDevice(device)) {
        return HACKRF_ERROR_INVALID_PARAM;
    }
    if (sim.script().usbApiVersion < usbApi) {
        return HACKRF_ERROR_USB_API_VERSION;
    }
    if (address && *address >= HACKRF_OPERACAKE_MAX_BOARDS) {
        return HACKRF_ERROR_INVALID_PARAM;
    }
    return sim.scriptedResult(function);
}

// A line per stacked Opera Cake with the ports it connects now, after every change and tune.
void journalOperaCakes()
{
    Simulator& sim = simulator();
    for (const std::string& line : sim.withOperaCakes(veltrano::sim::hackrf::operaCakeJournalLines)) {
        sim.journal().write(line);
    }
}

// A new handle on the board with this serial (the first board for none).
hackrf_device* openedDevice(const char* serial)
{
    auto* device = new hackrf_device{};
    const std::vector<Board>& boards = simulator().script().boards;
    const std::string first = boards.empty() ? std::string() : boards.front().serial;
    device->serial = serial != nullptr ? serial : first;
    device->firstBoard = !boards.empty() && device->serial == first;
    return device;
}

} // namespace

extern "C" {

int ADDCALL hackrf_init()
{
    Simulator& sim = simulator();
    const int result = sim.script().initResult;
    sim.log(JournalLine("hackrf_init").result(result));
    return result;
}

int ADDCALL hackrf_exit()
{
    simulator().log(JournalLine("hackrf_exit"));
    return HACKRF_SUCCESS;
}

hackrf_device_list_t* ADDCALL hackrf_device_list()
{
    Simulator& sim = simulator();
    const auto& script = sim.script();
    if (script.listNull) {
        sim.log(JournalLine("hackrf_device_list") << "->"
                                                  << "null");
        return nullptr;
    }
    const std::size_t boards = sim.unplugged() ? 0 : script.boards.size();

    auto* allocation = new ListAllocation{};
    hackrf_device_list_t& list = allocation->list;
    if (!script.serialArrayNull) {
        list.serial_numbers = new char*[boards];
        allocation->allocatedSerials = boards;
        for (std::size_t index = 0; index < boards; ++index) {
            const auto& board = script.boards[index];
            char* serial = nullptr;
            if (!board.nullSerial) {
                serial = new char[board.serial.size() + 1];
                std::memcpy(serial, board.serial.c_str(), board.serial.size() + 1);
            }
            list.serial_numbers[index] = serial;
        }
    }
    list.usb_board_ids = new hackrf_usb_board_id[boards];
    list.usb_device_index = new int[boards];
    for (std::size_t index = 0; index < boards; ++index) {
        list.usb_board_ids[index] = USB_BOARD_ID_HACKRF_ONE;
        list.usb_device_index[index] = static_cast<int>(index);
    }
    // No USB handles behind a simulated board.
    list.usb_devices = nullptr;
    list.usb_devicecount = 0;

    int count = static_cast<int>(boards);
    if (script.count) {
        // A scripted count may be smaller, zero or negative, but never larger than
        // the arrays: the simulator must not itself hand out a list whose count
        // overruns them, or the defect found would be its own.
        count = *script.count < count ? *script.count : count;
    }
    list.devicecount = count;
    sim.log(JournalLine("hackrf_device_list").result(count));
    return &list;
}

void ADDCALL hackrf_device_list_free(hackrf_device_list_t* list)
{
    simulator().log(JournalLine("hackrf_device_list_free"));
    if (list == nullptr) {
        return;
    }
    auto* allocation = reinterpret_cast<ListAllocation*>(list);
    if (list->serial_numbers != nullptr) {
        for (std::size_t index = 0; index < allocation->allocatedSerials; ++index) {
            delete[] list->serial_numbers[index];
        }
        delete[] list->serial_numbers;
    }
    delete[] list->usb_board_ids;
    delete[] list->usb_device_index;
    delete allocation;
}

int ADDCALL hackrf_open_by_serial(const char* const desired_serial_number, hackrf_device** device)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (device != nullptr) {
        bool nullHandle = false;
        result = sim.decideOpen(desired_serial_number, nullHandle);
        if (result == HACKRF_SUCCESS) {
            *device = nullHandle ? nullptr : openedDevice(desired_serial_number);
        }
    }
    sim.log((JournalLine("hackrf_open_by_serial") << textOrNull(desired_serial_number)).result(result));
    return result;
}

int ADDCALL hackrf_close(hackrf_device* device)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device)) {
        result = sim.script().closeResult;
        endStream(device);
        device->magic = 0;
        delete device;
    }
    sim.log(JournalLine("hackrf_close").result(result));
    return result;
}

int ADDCALL hackrf_start_rx(hackrf_device* device, hackrf_sample_block_cb_fn callback, void* rx_ctx)
{
    return veltrano::sim::hackrf::startStreaming("hackrf_start_rx", StreamKind::Receive, device, callback, rx_ctx);
}

int ADDCALL hackrf_stop_rx(hackrf_device* device)
{
    return veltrano::sim::hackrf::stopStreaming("hackrf_stop_rx", device);
}

int ADDCALL hackrf_start_tx(hackrf_device* device, hackrf_sample_block_cb_fn callback, void* tx_ctx)
{
    return veltrano::sim::hackrf::startStreaming("hackrf_start_tx", StreamKind::Transmit, device, callback, tx_ctx);
}

int ADDCALL hackrf_stop_tx(hackrf_device* device)
{
    return veltrano::sim::hackrf::stopStreaming("hackrf_stop_tx", device);
}

#if !defined(SIM_OMIT_hackrf_enable_tx_flush)
int ADDCALL hackrf_enable_tx_flush(hackrf_device* device, hackrf_flush_cb_fn callback, void* flush_ctx)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && (result = sim.scriptedResult("hackrf_enable_tx_flush")) == HACKRF_SUCCESS) {
        device->flushCallback = callback;
        device->flushContext = flush_ctx;
    }
    sim.log(JournalLine("hackrf_enable_tx_flush").result(result));
    return result;
}
#endif

int ADDCALL hackrf_is_streaming(hackrf_device* device)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device)) {
        const std::lock_guard<std::mutex> lock(device->mutex);
        result = device->stream ? device->stream->status() : HACKRF_ERROR_STREAMING_STOPPED;
    }
    sim.log(JournalLine("hackrf_is_streaming").result(result));
    return result;
}

int ADDCALL hackrf_set_freq(hackrf_device* device, const uint64_t freq_hz)
{
    const int result = recordDeviceCall("hackrf_set_freq", device, static_cast<std::uint64_t>(freq_hz));
    if (result == HACKRF_SUCCESS) {
        device->radio.frequencyHz.store(freq_hz);
        // The firmware switches its Opera Cakes after every tune it takes.
        simulator().withOperaCakes([&](OperaCakeFirmware& cakes) {
            cakes.tuned(freq_hz);
            return 0;
        });
        journalOperaCakes();
    }
    return result;
}

int ADDCALL hackrf_set_sample_rate(hackrf_device* device, const double freq_hz)
{
    const int result = recordDeviceCall("hackrf_set_sample_rate", device, freq_hz);
    if (result == HACKRF_SUCCESS) {
        // libhackrf sends the rate as a frequency and a divider and follows
        // it with its own filter, three quarters of the rate it sent; a
        // filter the client wants instead has to be set after the rate.
        const veltrano::sim::hackrf::FractionalRate rate = veltrano::sim::hackrf::libraryRateRequest(freq_hz);
        device->radio.setSampleRate(rate);
        device->radio.basebandFilterHz.store(veltrano::sim::hackrf::libraryBasebandFilter(
            static_cast<std::uint32_t>(0.75 * rate.frequencyHz / rate.divider)));
    }
    return result;
}

#if !defined(SIM_OMIT_hackrf_set_baseband_filter_bandwidth)
int ADDCALL hackrf_set_baseband_filter_bandwidth(hackrf_device* device, const uint32_t bandwidth_hz)
{
    const int result = recordDeviceCall("hackrf_set_baseband_filter_bandwidth", device, bandwidth_hz);
    if (result == HACKRF_SUCCESS) {
        device->radio.basebandFilterHz.store(bandwidth_hz);
    }
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_set_antenna_enable)
int ADDCALL hackrf_set_antenna_enable(hackrf_device* device, const uint8_t value)
{
    int result = recordDeviceCall("hackrf_set_antenna_enable", device, static_cast<unsigned>(value));
    if (result == HACKRF_SUCCESS && !device->radio.setAntennaPower(value)) {
        result = HACKRF_ERROR_LIBUSB;
    }
    return result;
}
#endif

uint32_t ADDCALL hackrf_compute_baseband_filter_bw(const uint32_t bandwidth_hz)
{
    const std::uint32_t chosen = veltrano::sim::hackrf::libraryBasebandFilter(bandwidth_hz);
    simulator().log((JournalLine("hackrf_compute_baseband_filter_bw") << bandwidth_hz).result(chosen));
    return chosen;
}

int ADDCALL hackrf_set_lna_gain(hackrf_device* device, uint32_t value)
{
    return veltrano::sim::hackrf::setGain("hackrf_set_lna_gain", device, GainStage::lna, value);
}

int ADDCALL hackrf_set_vga_gain(hackrf_device* device, uint32_t value)
{
    return veltrano::sim::hackrf::setGain("hackrf_set_vga_gain", device, GainStage::vga, value);
}

#if !defined(SIM_OMIT_hackrf_set_txvga_gain)
int ADDCALL hackrf_set_txvga_gain(hackrf_device* device, uint32_t value)
{
    return veltrano::sim::hackrf::setGain("hackrf_set_txvga_gain", device, GainStage::txVga, value);
}
#endif

#if !defined(SIM_OMIT_hackrf_set_amp_enable)
int ADDCALL hackrf_set_amp_enable(hackrf_device* device, const uint8_t value)
{
    int result = recordDeviceCall("hackrf_set_amp_enable", device, static_cast<unsigned>(value));
    if (result == HACKRF_SUCCESS && !device->radio.setAmplifier(value)) {
        result = HACKRF_ERROR_LIBUSB;
    }
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_init_sweep)
int ADDCALL hackrf_init_sweep(hackrf_device* device, const uint16_t* frequency_list, const int num_ranges,
                              const uint32_t num_bytes, const uint32_t step_width, const uint32_t offset,
                              const enum sweep_style style)
{
    Simulator& sim = simulator();
    JournalLine line("hackrf_init_sweep");
    line << num_ranges;
    // The list holds num_ranges pairs of MHz bounds; like the real library, refuse
    // a count it cannot hold rather than read past the caller's array.
    const bool listUsable = frequency_list != nullptr && num_ranges >= 1 && num_ranges <= MAX_SWEEP_RANGES;
    const bool sent = listUsable && veltrano::sim::hackrf::librarySendsSweep(num_ranges, num_bytes, step_width,
                                                                             veltrano::sim::enumValue(style));
    if (listUsable) {
        std::string ranges;
        for (int index = 0; index < num_ranges; ++index) {
            if (index > 0) {
                ranges += ',';
            }
            ranges += std::to_string(frequency_list[2 * index]) + '-' + std::to_string(frequency_list[2 * index + 1]);
        }
        line << ranges;
    } else {
        line << "(null)";
    }
    line << num_bytes << step_width << offset << veltrano::sim::enumValue(style);
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && sent && (result = sim.scriptedResult("hackrf_init_sweep")) == HACKRF_SUCCESS) {
        device->sweepPlan.stepsHz = veltrano::sim::hackrf::sweepSteps(
            frequency_list, static_cast<std::size_t>(num_ranges), step_width, style == INTERLEAVED);
        device->sweepPlan.offsetHz = offset;
    }
    sim.log(line.result(result));
    return result;
}
#endif

int ADDCALL hackrf_start_rx_sweep(hackrf_device* device, hackrf_sample_block_cb_fn callback, void* rx_ctx)
{
    return veltrano::sim::hackrf::startStreaming("hackrf_start_rx_sweep", StreamKind::Sweep, device, callback, rx_ctx);
}

#if !defined(SIM_OMIT_hackrf_error_name)
const char* ADDCALL hackrf_error_name(enum hackrf_error errcode)
{
    Simulator& sim = simulator();
    const int code = veltrano::sim::enumValue(errcode);
    sim.log(JournalLine("hackrf_error_name") << code);
    return sim.script().errorNames ? veltrano::sim::hackrf::errorName(code) : nullptr;
}
#endif

#if !defined(SIM_OMIT_hackrf_version_string_read)
int ADDCALL hackrf_version_string_read(hackrf_device* device, char* version, uint8_t length)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && version != nullptr) {
        result = sim.script().versionResult;
        if (result == HACKRF_SUCCESS) {
            // Like the real library: up to length bytes of text, then a NUL right
            // after them, so the caller's buffer needs length + 1 bytes.
            const std::string& text = sim.script().version;
            const std::size_t copied = text.size() < length ? text.size() : length;
            std::memcpy(version, text.data(), copied);
            version[copied] = '\0';
        }
    }
    sim.log((JournalLine("hackrf_version_string_read") << static_cast<unsigned>(length)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_usb_api_version_read)
int ADDCALL hackrf_usb_api_version_read(hackrf_device* device, uint16_t* version)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device) && version != nullptr) {
        *version = sim.script().usbApiVersion;
        result = HACKRF_SUCCESS;
    }
    sim.log(JournalLine("hackrf_usb_api_version_read").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_board_id_read)
int ADDCALL hackrf_board_id_read(hackrf_device* device, uint8_t* value)
{
    return readByteAnswer("hackrf_board_id_read", device, value, 0, veltrano::sim::hackrf::kBoardId);
}
const char* ADDCALL hackrf_board_id_name(enum hackrf_board_id board_id)
{
    return board_id == veltrano::sim::hackrf::kBoardId ? "HackRF One" : "unknown";
}
#endif

#if !defined(SIM_OMIT_hackrf_board_rev_read)
int ADDCALL hackrf_board_rev_read(hackrf_device* device, uint8_t* value)
{
    return readByteAnswer("hackrf_board_rev_read", device, value, 0x0106, veltrano::sim::hackrf::kBoardRevision);
}
const char* ADDCALL hackrf_board_rev_name(enum hackrf_board_rev board_rev)
{
    return board_rev == veltrano::sim::hackrf::kBoardRevision ? "r6" : "unknown";
}
#endif

#if !defined(SIM_OMIT_hackrf_library_release)
const char* ADDCALL hackrf_library_version()
{
    return "git-sim";
}
const char* ADDCALL hackrf_library_release()
{
    return "2026.01.1-sim";
}
#endif

#if !defined(SIM_OMIT_hackrf_get_clkin_status)
int ADDCALL hackrf_get_clkin_status(hackrf_device* device, uint8_t* status)
{
    const bool present = validDevice(device) && simulator().clockInPresent(device->serial);
    return readByteAnswer("hackrf_get_clkin_status", device, status, 0x0106, present ? 1 : 0);
}
#endif

#if !defined(SIM_OMIT_hackrf_set_clkout_enable)
int ADDCALL hackrf_set_clkout_enable(hackrf_device* device, const uint8_t value)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device)) {
        result = sim.script().usbApiVersion < 0x0103 ? HACKRF_ERROR_USB_API_VERSION
                                                     : sim.scriptedResult("hackrf_set_clkout_enable");
        if (result == HACKRF_SUCCESS) {
            sim.setClockOut(device->serial, value != 0);
        }
    }
    sim.log((JournalLine("hackrf_set_clkout_enable") << unsigned{value}).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_set_hw_sync_mode)
int ADDCALL hackrf_set_hw_sync_mode(hackrf_device* device, const uint8_t value)
{
    Simulator& sim = simulator();
    int result = HACKRF_ERROR_INVALID_PARAM;
    if (validDevice(device)) {
        result = sim.script().usbApiVersion < 0x0102 ? HACKRF_ERROR_USB_API_VERSION
                                                     : sim.scriptedResult("hackrf_set_hw_sync_mode");
        if (result == HACKRF_SUCCESS) {
            // The firmware's sync enable is "value == 1".
            const std::lock_guard<std::mutex> lock(device->mutex);
            device->syncMode = value == 1;
        }
    }
    sim.log((JournalLine("hackrf_set_hw_sync_mode") << unsigned{value}).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_get_m0_state)
// Not journaled: the device layer asks it over and over while streaming.
int ADDCALL hackrf_get_m0_state(hackrf_device* device, hackrf_m0_state* state)
{
    Simulator& sim = simulator();
    if (!validDevice(device) || state == nullptr) {
        return HACKRF_ERROR_INVALID_PARAM;
    }
    if (sim.script().usbApiVersion < 0x0106) {
        return HACKRF_ERROR_USB_API_VERSION;
    }
    if (const int result = sim.scriptedResult("hackrf_get_m0_state"); result != HACKRF_SUCCESS) {
        return result;
    }
    std::shared_ptr<TransferStream> stream;
    {
        const std::lock_guard<std::mutex> lock(device->mutex);
        stream = device->stream;
    }
    *state = hackrf_m0_state{};
    if (stream && stream->status() == HACKRF_TRUE) {
        // The core's modes: 2 receive, 3 transmit start (zeros until the
        // host's data), 4 transmit run.
        const std::uint32_t moved = stream->coreBytes();
        const std::uint32_t mode = stream->kind() != StreamKind::Transmit ? 2 : (moved == 0 ? 3 : 4);
        state->requested_mode = static_cast<std::uint16_t>(mode);
        state->active_mode = mode;
        state->m0_count = moved;
    }
    return HACKRF_SUCCESS;
}
#endif

#if !defined(SIM_OMIT_hackrf_get_operacake_boards)
int ADDCALL hackrf_get_operacake_boards(hackrf_device* device, uint8_t* boards)
{
    Simulator& sim = simulator();
    int result = operaCakeRequest("hackrf_get_operacake_boards", device, 0x0105, std::nullopt);
    if (result == HACKRF_SUCCESS && boards != nullptr) {
        const auto slots = sim.withOperaCakes([](const OperaCakeFirmware& cakes) { return cakes.boards(); });
        std::memcpy(boards, slots.data(), slots.size());
    }
    sim.log(JournalLine("hackrf_get_operacake_boards").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_set_operacake_mode)
int ADDCALL hackrf_set_operacake_mode(hackrf_device* device, uint8_t address, enum operacake_switching_mode mode)
{
    Simulator& sim = simulator();
    int result = operaCakeRequest("hackrf_set_operacake_mode", device, 0x0105, address);
    if (result == HACKRF_SUCCESS && !sim.withOperaCakes([&](OperaCakeFirmware& cakes) {
            return cakes.setMode(address, static_cast<std::uint8_t>(mode));
        })) {
        result = HACKRF_ERROR_LIBUSB;
    }
    sim.log((JournalLine("hackrf_set_operacake_mode") << unsigned{address} << static_cast<int>(mode)).result(result));
    journalOperaCakes();
    return result;
}

int ADDCALL hackrf_get_operacake_mode(hackrf_device* device, uint8_t address, enum operacake_switching_mode* mode)
{
    Simulator& sim = simulator();
    int result = mode == nullptr ? HACKRF_ERROR_INVALID_PARAM
                                 : operaCakeRequest("hackrf_get_operacake_mode", device, 0x0105, address);
    if (result == HACKRF_SUCCESS) {
        *mode = static_cast<operacake_switching_mode>(
            sim.withOperaCakes([&](const OperaCakeFirmware& cakes) { return cakes.mode(address); }));
    }
    sim.log((JournalLine("hackrf_get_operacake_mode") << unsigned{address}).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_set_operacake_ports)
int ADDCALL hackrf_set_operacake_ports(hackrf_device* device, uint8_t address, uint8_t port_a, uint8_t port_b)
{
    Simulator& sim = simulator();
    int result = operaCakeRequest("hackrf_set_operacake_ports", device, 0x0102, address);
    // The library refuses a port beyond B4 and a pair on one side itself.
    if (result == HACKRF_SUCCESS &&
        (port_a > OPERACAKE_PB4 || port_b > OPERACAKE_PB4 || (port_a <= OPERACAKE_PA4) == (port_b <= OPERACAKE_PA4))) {
        result = HACKRF_ERROR_INVALID_PARAM;
    }
    if (result == HACKRF_SUCCESS) {
        sim.withOperaCakes([&](OperaCakeFirmware& cakes) {
            cakes.setPorts(address, port_a, port_b);
            return 0;
        });
    }
    sim.log((JournalLine("hackrf_set_operacake_ports") << unsigned{address} << unsigned{port_a} << unsigned{port_b})
                .result(result));
    journalOperaCakes();
    return result;
}
#endif

// Range and dwell-time records as the library packs them: five bytes each.
#if !defined(SIM_OMIT_hackrf_set_operacake_freq_ranges)
int ADDCALL hackrf_set_operacake_freq_ranges(hackrf_device* device, hackrf_operacake_freq_range* freq_ranges,
                                             uint8_t count)
{
    Simulator& sim = simulator();
    int result = operaCakeRequest("hackrf_set_operacake_freq_ranges", device, 0x0103, std::nullopt);
    JournalLine line("hackrf_set_operacake_freq_ranges");
    std::vector<unsigned char> records;
    for (std::size_t i = 0; freq_ranges != nullptr && i < count; ++i) {
        const hackrf_operacake_freq_range& range = freq_ranges[i];
        records.insert(records.end(), {static_cast<unsigned char>(range.freq_min >> 8),
                                       static_cast<unsigned char>(range.freq_min & 0xff),
                                       static_cast<unsigned char>(range.freq_max >> 8),
                                       static_cast<unsigned char>(range.freq_max & 0xff), range.port});
        line << (std::to_string(range.freq_min) + "-" + std::to_string(range.freq_max) + ":" +
                 std::to_string(range.port));
    }
    // The firmware stalls a request without a range or with more than eight.
    if (result == HACKRF_SUCCESS && !sim.withOperaCakes([&](OperaCakeFirmware& cakes) {
            return cakes.setRanges(records.data(), records.size());
        })) {
        result = HACKRF_ERROR_LIBUSB;
    }
    sim.log(line.result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_hackrf_set_operacake_dwell_times)
int ADDCALL hackrf_set_operacake_dwell_times(hackrf_device* device, hackrf_operacake_dwell_time* dwell_times,
                                             uint8_t count)
{
    Simulator& sim = simulator();
    int result = operaCakeRequest("hackrf_set_operacake_dwell_times", device, 0x0105, std::nullopt);
    if (result == HACKRF_SUCCESS && count > HACKRF_OPERACAKE_MAX_DWELL_TIMES) {
        result = HACKRF_ERROR_INVALID_PARAM;
    }
    const std::vector<unsigned char> records(std::size_t{count} * 5, 0);
    if (result == HACKRF_SUCCESS && (dwell_times == nullptr || !sim.withOperaCakes([&](OperaCakeFirmware& cakes) {
            return cakes.setDwellTimes(records.data(), records.size());
        }))) {
        result = HACKRF_ERROR_LIBUSB;
    }
    sim.log((JournalLine("hackrf_set_operacake_dwell_times") << unsigned{count}).result(result));
    return result;
}
#endif

int ADDCALL hackrf_set_rx_overrun_limit(hackrf_device* device, uint32_t value)
{
    return recordDeviceCall("hackrf_set_rx_overrun_limit", device, value);
}

// Control entry points (SimHackRfControl.h).

int veltrano_sim_hackrf_deliver(const unsigned char* data, int buffer_length, int valid_length)
{
    const auto stream = simulator().currentStream();
    return stream ? stream->deliver(data, buffer_length, valid_length) : -1;
}

int veltrano_sim_hackrf_deliver_sweep(int blocks)
{
    const auto stream = simulator().currentStream();
    return stream ? stream->deliverSweepBlocks(blocks) : -1;
}

int veltrano_sim_hackrf_pull(int buffer_length, unsigned char* out, int* valid_length)
{
    const auto stream = simulator().currentStream();
    return stream ? stream->pull(buffer_length, out, valid_length) : -1;
}

int veltrano_sim_hackrf_kill(int code)
{
    const auto stream = simulator().currentStream();
    if (!stream) {
        return -1;
    }
    stream->kill(code);
    return 0;
}

unsigned veltrano_sim_hackrf_baseband_filter()
{
    const auto stream = simulator().currentStream();
    return stream ? stream->radio().basebandFilterHz.load() : 0;
}

int veltrano_sim_hackrf_pulse_sync(const char* serial)
{
    std::int64_t ns = 0;
    return static_cast<int>(simulator().syncWire().pulse(serial != nullptr ? serial : std::string(), ns));
}

std::size_t veltrano_sim_hackrf_take_sent(unsigned char* out, std::size_t capacity)
{
    return out == nullptr ? 0 : simulator().takeSent(out, capacity);
}

} // extern "C"
