// SPDX-License-Identifier: MIT
// Boards that start on one sample, through libhackrf's hardware sync: a
// slave's start waits for a pulse on its sync input, the master's start is
// that pulse, and the check that keeps an armed start from running free on a
// board that would not wait. And the clocks: CLKIN, which the board takes
// whenever a reference is there, and CLKOUT.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace veltrano {
namespace {

// USB API versions of the firmware's requests.
constexpr std::uint16_t kCoreStateUsbApi = 0x0106;
constexpr std::uint16_t kClockOutUsbApi = 0x0103;
constexpr std::uint16_t kClockInUsbApi = 0x0106;

// The sync input and output are pins 16 and 15 of header P28.
constexpr const char* kSyncHeader = "P28";
constexpr const char* kNoSync =
    "the loaded libhackrf has no hardware sync calls (hackrf_set_hw_sync_mode, hackrf_get_m0_state), or the board "
    "lacks the direction";

// The core's modes in its state record.
constexpr std::uint32_t kCoreIdle = 0;
constexpr std::uint32_t kCoreReceive = 2;
constexpr std::uint32_t kCoreTransmitStart = 3;
// The firmware takes a start request in its main loop, a moment after it
// answered it: an idle core is asked again, this many times a millisecond apart.
constexpr int kIdleCoreReads = 50;

const char* directionName(StreamDirection direction)
{
    return direction == StreamDirection::rx ? "RX" : "TX";
}

std::size_t slotOf(StreamDirection direction)
{
    return direction == StreamDirection::rx ? 0 : 1;
}

std::string usbApiText(std::uint16_t version)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(version));
    return text;
}

} // namespace

bool HackRfSdrDevice::refuseSync(StreamDirection direction, const std::string& why)
{
    lastError_.set(std::string(directionName(direction)) + " sync: " + why);
    return false;
}

bool HackRfSdrDevice::supportsTrigger(StreamDirection direction) const
{
    const HackRfApi& api = hackRfApi();
    const bool hasDirection = direction == StreamDirection::rx || (info_.supportsTx && api.startTx != nullptr);
    return isOpen() && hasDirection && api.setHwSyncMode != nullptr && api.getM0State != nullptr;
}

std::vector<std::string> HackRfSdrDevice::triggerSignals(StreamDirection direction) const
{
    if (!supportsTrigger(direction)) {
        return {};
    }
    return {kSyncHeader};
}

bool HackRfSdrDevice::setTrigger(StreamDirection direction, TriggerRole role, const std::string& signal)
{
    if (!supportsTrigger(direction)) {
        return refuseSync(direction, kNoSync);
    }
    if ((direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuseSync(direction, "not while the direction streams");
    }
    if (!signal.empty() && signal != kSyncHeader) {
        return refuseSync(direction, "the board has no signal \"" + signal + "\" (its sync pins are on P28)");
    }
    if (role == TriggerRole::off && !armTrigger(direction, false)) {
        return false;
    }
    sync_[slotOf(direction)] = SyncSetting{role, false};
    return true;
}

bool HackRfSdrDevice::armTrigger(StreamDirection direction, bool armed)
{
    if (!supportsTrigger(direction)) {
        return refuseSync(direction, kNoSync);
    }
    SyncSetting& setting = sync_[slotOf(direction)];
    if (setting.role == TriggerRole::off) {
        if (!armed) {
            return true;
        }
        return refuseSync(direction, "choose a role (master or slave) before arming");
    }
    if ((direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuseSync(direction, "not while the direction streams");
    }
    if (armed && usbApiVersion_ < kCoreStateUsbApi) {
        return refuseSync(direction, "the board's firmware (USB API " + usbApiText(usbApiVersion_) +
                                         ") cannot show whether it waits for the pulse; " +
                                         usbApiText(kCoreStateUsbApi) + " can");
    }
    // Only a slave waits; the master's start must not, it is the pulse.
    const bool syncMode = armed && setting.role == TriggerRole::slave;
    if (boardSyncMode_ != syncMode) {
        if (const int result = hackRfApi().setHwSyncMode(handle_->device, syncMode ? 1 : 0); result != HACKRF_SUCCESS) {
            setting.armed = false;
            return refuseSync(direction, "hackrf_set_hw_sync_mode: " + hackRfApi().error(result));
        }
        boardSyncMode_ = syncMode;
    }
    setting.armed = armed;
    return true;
}

bool HackRfSdrDevice::fireTrigger(StreamDirection direction)
{
    if (!supportsTrigger(direction)) {
        return refuseSync(direction, kNoSync);
    }
    const SyncSetting& setting = sync_[slotOf(direction)];
    if (setting.role != TriggerRole::master || !setting.armed) {
        return refuseSync(direction, "only an armed master fires the line");
    }
    if (!(direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuseSync(direction, "a HackRF cannot pulse its sync output by command: the master's start is the "
                                     "pulse, so start the slaves' streams first and the master's last");
    }
    return true; // the pulse went out when the master started
}

bool HackRfSdrDevice::armedSlave(StreamDirection direction) const
{
    const SyncSetting& setting = sync_[slotOf(direction)];
    return setting.armed && setting.role == TriggerRole::slave;
}

bool HackRfSdrDevice::syncModeForStart(StreamDirection direction)
{
    // One sync mode serves both directions (and the sweep): a start that
    // must not wait turns off what an armed slave of the other one left on.
    const bool wanted = armedSlave(direction);
    if (wanted == boardSyncMode_.value_or(false) || hackRfApi().setHwSyncMode == nullptr) {
        return true;
    }
    if (const int result = hackRfApi().setHwSyncMode(handle_->device, wanted ? 1 : 0); result != HACKRF_SUCCESS) {
        return refuseSync(direction, "hackrf_set_hw_sync_mode: " + hackRfApi().error(result));
    }
    boardSyncMode_ = wanted;
    return true;
}

bool HackRfSdrDevice::confirmWaitingForPulse(StreamDirection direction)
{
    if (!armedSlave(direction)) {
        return true;
    }
    const HackRfApi& api = hackRfApi();
    hackrf_m0_state state{};
    for (int read = 0;; ++read) {
        if (const int result = api.getM0State(handle_->device, &state); result != HACKRF_SUCCESS) {
            return refuseSync(direction, "the board's core state cannot be read (" + api.error(result) +
                                             "); stopped rather than left running free");
        }
        if (state.active_mode != kCoreIdle || read == kIdleCoreReads) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint32_t waitingMode = direction == StreamDirection::rx ? kCoreReceive : kCoreTransmitStart;
    if (state.active_mode == waitingMode && state.m0_count == 0) {
        return true;
    }
    return refuseSync(direction, "the board did not wait for the sync pulse (its core reports mode " +
                                     std::to_string(state.active_mode) + " with " + std::to_string(state.m0_count) +
                                     " bytes moved); stopped rather than left running free");
}

std::optional<TriggerState> HackRfSdrDevice::triggerState(StreamDirection direction) const
{
    const SyncSetting& setting = sync_[slotOf(direction)];
    if (!supportsTrigger(direction) || setting.role == TriggerRole::off) {
        return std::nullopt;
    }
    const bool streaming = (direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load();
    TriggerState state;
    state.armed = setting.armed;
    if (setting.role == TriggerRole::master) {
        state.fired = state.fireRequested = setting.armed && streaming;
        return state;
    }
    if (!setting.armed || !streaming) {
        return state;
    }
    // Streaming: the core says whether it still waits (nothing moved) or the pulse came.
    hackrf_m0_state core{};
    if (hackRfApi().getM0State(handle_->device, &core) != HACKRF_SUCCESS) {
        return std::nullopt;
    }
    state.armed = core.m0_count == 0;
    state.fired = core.m0_count > 0;
    return state;
}

std::optional<bool> HackRfSdrDevice::clockInPresent() const
{
    const HackRfApi& api = hackRfApi();
    std::uint8_t status = 0;
    if (!isOpen() || api.getClkinStatus == nullptr || usbApiVersion_ < kClockInUsbApi ||
        api.getClkinStatus(handle_->device, &status) != HACKRF_SUCCESS) {
        return std::nullopt;
    }
    return status != 0;
}

std::vector<ClockSourceInfo> HackRfSdrDevice::clockSources() const
{
    if (!isOpen()) {
        return {};
    }
    // CLKIN takes a 10 MHz reference only.
    return {{"internal", {}}, {"external", {}}};
}

bool HackRfSdrDevice::setClockSource(const std::string& name, double referenceHz)
{
    if (!isOpen()) {
        lastError_.set("clock source: the board is closed");
        return false;
    }
    if (name != "internal" && name != "external") {
        lastError_.set("clock source: no source \"" + name + "\" (internal, external)");
        return false;
    }
    if (referenceHz != 0.0 && referenceHz != 10e6) {
        lastError_.set("clock source: CLKIN takes a 10 MHz reference");
        return false;
    }
    const std::optional<bool> present = clockInPresent();
    // The firmware picks CLKIN at every start whenever a reference is there:
    // the own crystal cannot be chosen over it.
    if (name == "internal" && present.value_or(false)) {
        lastError_.set("clock source: a reference is on CLKIN and the board takes it at every start; unplug it "
                       "to run on the board's own crystal");
        return false;
    }
    clockSource_ = name;
    lastError_.clear();
    if (name == "external" && !present.value_or(false)) {
        lastError_.set(present ? "clock source: no reference on CLKIN; the board runs on its own crystal until a "
                                 "10 MHz reference comes in"
                               : "clock source: the library or the board's firmware cannot tell whether a reference "
                                 "is on CLKIN");
    }
    return true;
}

std::string HackRfSdrDevice::clockSource() const
{
    return isOpen() ? clockSource_ : std::string();
}

std::optional<bool> HackRfSdrDevice::clockLocked() const
{
    if (clockSource_ != "external") {
        return std::nullopt;
    }
    return clockInPresent();
}

bool HackRfSdrDevice::supportsClockOutput() const
{
    return isOpen() && hackRfApi().setClkoutEnable != nullptr && usbApiVersion_ >= kClockOutUsbApi;
}

bool HackRfSdrDevice::setClockOutput(bool enabled)
{
    if (!supportsClockOutput()) {
        lastError_.set("clock output: the loaded libhackrf or the board's firmware (USB API below " +
                       usbApiText(kClockOutUsbApi) + ") cannot switch CLKOUT");
        return false;
    }
    if (const int result = hackRfApi().setClkoutEnable(handle_->device, enabled ? 1 : 0); result != HACKRF_SUCCESS) {
        lastError_.set("clock output: hackrf_set_clkout_enable: " + hackRfApi().error(result));
        return false;
    }
    clockOutput_ = enabled;
    return true;
}

std::optional<bool> HackRfSdrDevice::clockOutput() const
{
    return clockOutput_;
}

} // namespace veltrano
