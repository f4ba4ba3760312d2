// SPDX-License-Identifier: MIT
// Boards that start on one trigger line, through the module: the receive
// trigger's role and signal and the master's fire as settings (each also a
// device argument), the clock out, and the trigger armed for a receive
// activation that asks to wait (SOAPY_SDR_WAIT_TRIGGER, or the time source
// "trigger"). The settings read the board back where it can tell.
#include "soapy/SettingText.h"
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Types.hpp>

#include <algorithm>
#include <array>
#include <utility>

namespace veltrano::soapy {
namespace {

constexpr const char* kTriggerRole = "trigger_role";
constexpr const char* kTriggerSignal = "trigger_signal";
constexpr const char* kTriggerFire = "trigger_fire";
constexpr const char* kTriggerState = "trigger_state";
constexpr const char* kClockOut = "clock_out";

constexpr std::array<std::pair<const char*, TriggerRole>, 3> kRoles{{
    {"off", TriggerRole::off},
    {"master", TriggerRole::master},
    {"slave", TriggerRole::slave},
}};

// The signals clients name, by the device layer's names for them.
constexpr std::array<std::pair<const char*, const char*>, 3> kSignals{{
    {"J71-4", "J71-4"},
    {"J51-1", "J51-1"},
    {"miniexp-1", "mini-exp-1"},
}};

const char* roleName(TriggerRole role)
{
    for (const auto& [name, value] : kRoles) {
        if (value == role) {
            return name;
        }
    }
    return "off";
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

SoapySDR::ArgInfo setting(const char* key, const char* name, SoapySDR::ArgInfo::Type type, const char* description,
                          const std::string& value, std::vector<std::string> options = {})
{
    SoapySDR::ArgInfo info;
    info.key = key;
    info.name = name;
    info.type = type;
    info.description = description;
    info.value = value;
    info.options = std::move(options);
    return info;
}

// The client's names of the signals the board has, its own pin first.
std::vector<std::string> offeredSignals(const ISdrDevice& board)
{
    std::vector<std::string> names;
    for (const std::string& deviceName : board.triggerSignals(StreamDirection::rx)) {
        for (const auto& [name, internal] : kSignals) {
            if (deviceName == internal) {
                names.emplace_back(name);
            }
        }
    }
    return names;
}

std::string defaultSignal(const ISdrDevice& board)
{
    const std::vector<std::string> names = offeredSignals(board);
    return names.empty() ? std::string() : names.front();
}

std::string deviceSignal(const std::string& name)
{
    for (const auto& [offered, internal] : kSignals) {
        if (name == offered) {
            return internal;
        }
    }
    return name;
}

// off, disarmed, armed or fired, as the board reads back; empty when it cannot be read.
std::string stateText(const ISdrDevice& board, TriggerRole role)
{
    if (role == TriggerRole::off) {
        return "off";
    }
    const std::optional<TriggerState> state = board.triggerState(StreamDirection::rx);
    if (!state) {
        return {};
    }
    return state->fired ? "fired" : state->armed ? "armed" : "disarmed";
}

} // namespace

bool SoapyDevice::offersTriggerLine() const
{
    return family_ != BoardFamily::hackRf && board_->supportsTrigger(StreamDirection::rx);
}

void SoapyDevice::appendSyncSettingInfo(SoapySDR::ArgInfoList& settings) const
{
    using Type = SoapySDR::ArgInfo::Type;
    if (offersTriggerLine()) {
        std::vector<std::string> roles;
        for (const auto& [name, role] : kRoles) {
            roles.emplace_back(name);
        }
        settings.push_back(setting(kTriggerRole, "Trigger role", Type::STRING,
                                   "The receive stream's role on the trigger line: the master drives it, a slave "
                                   "follows it. An activation with SOAPY_SDR_WAIT_TRIGGER waits for the line (off "
                                   "takes the slave's role for it). Written while the RX stream is inactive; also a "
                                   "device argument.",
                                   roleName(rxTriggerRole_), roles));
        settings.push_back(setting(kTriggerSignal, "Trigger signal", Type::STRING,
                                   "The expansion header pin the line is wired to; the board's own first. Written "
                                   "while the RX stream is inactive; also a device argument.",
                                   rxTriggerSignal_.empty() ? defaultSignal(*board_) : rxTriggerSignal_,
                                   offeredSignals(*board_)));
        settings.push_back(setting(kTriggerFire, "Trigger fire", Type::BOOL,
                                   "Written true on the armed master: every armed board on the line starts now. "
                                   "Reads true once the board saw the line fire.",
                                   "false"));
        settings.push_back(setting(kTriggerState, "Trigger state", Type::STRING,
                                   "Read only: off, disarmed, armed or fired, as the board reports", "off",
                                   {"off", "disarmed", "armed", "fired"}));
    }
    if (board_->supportsClockOutput()) {
        settings.push_back(setting(kClockOut, "Clock out", Type::BOOL,
                                   "Drives the board's sample clock out of its clock output, for the next board's "
                                   "clock input (external-pll at 38.4 MHz there); also a device argument.",
                                   "false"));
    }
}

void SoapyDevice::appendSyncSettingKeys(std::vector<std::string>& keys) const
{
    if (offersTriggerLine()) {
        // The signal first: a device argument's role then takes the pin given with it.
        keys.insert(keys.end(), {kTriggerSignal, kTriggerRole, kTriggerFire});
    }
    if (board_->supportsClockOutput()) {
        keys.emplace_back(kClockOut);
    }
}

bool SoapyDevice::writeSyncSetting(const std::string& key, const std::string& value)
{
    if (key == kClockOut && board_->supportsClockOutput()) {
        bool enabled = false;
        if (!parseSwitch(value, enabled)) {
            fail("veltrano: clock_out takes true or false, not '" + value + "'");
        }
        if (!board_->setClockOutput(enabled)) {
            fail("veltrano: the board refused to switch its clock out" + boardReason());
        }
        return true;
    }
    const bool triggerKey = key == kTriggerRole || key == kTriggerSignal || key == kTriggerFire;
    if (!triggerKey || !offersTriggerLine()) {
        return false;
    }
    if (key == kTriggerFire) {
        bool fire = false;
        if (!parseSwitch(value, fire)) {
            fail("veltrano: trigger_fire takes true or false, not '" + value + "'");
        }
        if (fire && !board_->fireTrigger(StreamDirection::rx)) {
            fail("veltrano: the trigger did not fire" + boardReason());
        }
        return true;
    }
    TriggerRole role = rxTriggerRole_;
    std::string signal = rxTriggerSignal_;
    if (key == kTriggerRole) {
        const auto found =
            std::find_if(kRoles.begin(), kRoles.end(), [&value](const auto& named) { return value == named.first; });
        if (found == kRoles.end()) {
            fail("veltrano: trigger_role takes off, master or slave, not '" + value + "'");
        }
        role = found->second;
    } else {
        const std::vector<std::string> signals = offeredSignals(*board_);
        if (std::find(signals.begin(), signals.end(), value) == signals.end()) {
            fail("veltrano: trigger_signal takes " + joined(signals) + " on this board, not '" + value + "'");
        }
        signal = value;
    }
    if (!board_->setTrigger(StreamDirection::rx, role, deviceSignal(signal))) {
        fail("veltrano: the board refused the trigger" + boardReason());
    }
    rxTriggerRole_ = role;
    rxTriggerSignal_ = signal;
    rxTriggerRoleBorrowed_ = false;
    return true;
}

std::optional<std::string> SoapyDevice::readSyncSetting(const std::string& key) const
{
    if (key == kClockOut && board_->supportsClockOutput()) {
        std::optional<bool> on = board_->clockOutput();
        // A HackRF cannot be asked: it reads as last switched here, and off
        // (its firmware's state at power-up) before.
        if (!on && family_ == BoardFamily::hackRf) {
            on = false;
        }
        if (!on) {
            fail("veltrano: the clock out cannot be read" + boardReason());
        }
        return SoapySDR::SettingToString(*on);
    }
    if (!offersTriggerLine()) {
        return std::nullopt;
    }
    if (key == kTriggerRole) {
        return roleName(rxTriggerRole_);
    }
    if (key == kTriggerSignal) {
        return rxTriggerSignal_.empty() ? defaultSignal(*board_) : rxTriggerSignal_;
    }
    if (key == kTriggerFire || key == kTriggerState) {
        const std::string state = stateText(*board_, rxTriggerRole_);
        if (state.empty()) {
            fail("veltrano: the trigger state cannot be read" + boardReason());
        }
        return key == kTriggerState ? state : SoapySDR::SettingToString(state == "fired");
    }
    return std::nullopt;
}

bool SoapyDevice::rxWaitsForTrigger(int flags) const
{
    return (flags & SOAPY_SDR_WAIT_TRIGGER) != 0 || timeSource_ == "trigger";
}

bool SoapyDevice::prepareRxTrigger(bool waitForLine)
{
    if (!waitForLine) {
        // A trigger armed for an earlier start must not hold this one.
        if (rxTriggerRole_ != TriggerRole::off && !board_->armTrigger(StreamDirection::rx, false)) {
            SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the trigger could not be disarmed; not starting" + boardReason());
            return false;
        }
        return true;
    }
    // A HackRF has no line to arm: its starts wait for the sync pulse once
    // hw_sync is on.
    if (offersHardwareSync()) {
        if (!hardwareSync_) {
            SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: a HackRF waits for its sync pulse only with hw_sync=true");
        }
        return hardwareSync_;
    }
    if (!offersTriggerLine()) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: this board cannot wait for a trigger" + boardReason());
        return false;
    }
    if (rxTriggerRole_ == TriggerRole::off) {
        if (!board_->setTrigger(StreamDirection::rx, TriggerRole::slave, deviceSignal(rxTriggerSignal_))) {
            SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the board refused the slave's role" + boardReason());
            return false;
        }
        rxTriggerRole_ = TriggerRole::slave;
        rxTriggerRoleBorrowed_ = true;
    }
    if (!board_->armTrigger(StreamDirection::rx, true)) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the trigger could not be armed; not starting" + boardReason());
        releaseRxTrigger();
        return false;
    }
    return true;
}

void SoapyDevice::releaseRxTrigger()
{
    if (!rxTriggerRoleBorrowed_) {
        return;
    }
    if (board_->setTrigger(StreamDirection::rx, TriggerRole::off, deviceSignal(rxTriggerSignal_))) {
        rxTriggerRole_ = TriggerRole::off;
        rxTriggerRoleBorrowed_ = false;
    } else {
        SoapySDR::log(SOAPY_SDR_WARNING, "veltrano: the trigger's borrowed slave role stays" + boardReason());
    }
}

} // namespace veltrano::soapy
