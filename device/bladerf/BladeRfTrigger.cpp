// SPDX-License-Identifier: MIT
// A start on a common trigger line through libbladeRF's trigger calls: the
// role and signal of each direction's channel 0, arming it, the master's fire
// and the state read back, and the check that keeps an armed start from
// running free on a board that would not wait.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfTime.h"

#include <algorithm>
#include <array>
#include <utility>

namespace veltrano {
namespace {

constexpr const char* kNoTrigger = "the loaded libbladeRF has no trigger calls, or the board lacks the direction";

// The signals libbladeRF names, by the names clients use. The pins differ by
// board: J71 pin 4 on a bladeRF1, J51 pin 1 on a bladeRF 2.0; mini_exp[1] is
// whichever of them the board has.
constexpr std::array<std::pair<const char*, bladerf_trigger_signal>, 11> kSignals{{
    {"J71-4", BLADERF_TRIGGER_J71_4},
    {"J51-1", BLADERF_TRIGGER_J51_1},
    {"mini-exp-1", BLADERF_TRIGGER_MINI_EXP_1},
    {"user-0", BLADERF_TRIGGER_USER_0},
    {"user-1", BLADERF_TRIGGER_USER_1},
    {"user-2", BLADERF_TRIGGER_USER_2},
    {"user-3", BLADERF_TRIGGER_USER_3},
    {"user-4", BLADERF_TRIGGER_USER_4},
    {"user-5", BLADERF_TRIGGER_USER_5},
    {"user-6", BLADERF_TRIGGER_USER_6},
    {"user-7", BLADERF_TRIGGER_USER_7},
}};

const char* directionName(StreamDirection direction)
{
    return direction == StreamDirection::rx ? "RX" : "TX";
}

std::size_t slotOf(StreamDirection direction)
{
    return direction == StreamDirection::rx ? 0 : 1;
}

bladerf_trigger_role libraryRole(TriggerRole role)
{
    switch (role) {
    case TriggerRole::master:
        return BLADERF_TRIGGER_ROLE_MASTER;
    case TriggerRole::slave:
        return BLADERF_TRIGGER_ROLE_SLAVE;
    case TriggerRole::off:
        break;
    }
    return BLADERF_TRIGGER_ROLE_DISABLED;
}

} // namespace

bool BladeRfSdrDevice::supportsTrigger(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const bool hasDirection = direction == StreamDirection::rx ? info_.supportsRx : info_.supportsTx;
    return isOpen() && hasDirection && api.triggerInit != nullptr && api.triggerArm != nullptr &&
           api.triggerFire != nullptr && api.triggerState != nullptr;
}

std::vector<std::string> BladeRfSdrDevice::triggerSignals(StreamDirection direction) const
{
    if (!supportsTrigger(direction)) {
        return {};
    }
    // The board's own pin first; the other board's pin is not on it.
    std::vector<std::string> names{bladeRf2Parts_ ? "J51-1" : "J71-4", "mini-exp-1"};
    for (std::size_t index = 3; index < kSignals.size(); ++index) {
        names.emplace_back(kSignals[index].first);
    }
    return names;
}

bool BladeRfSdrDevice::refuseTrigger(StreamDirection direction, const std::string& why)
{
    return refuse(std::string(directionName(direction)) + " trigger: " + why);
}

bool BladeRfSdrDevice::setTrigger(StreamDirection direction, TriggerRole role, const std::string& signal)
{
    if (!supportsTrigger(direction)) {
        return refuseTrigger(direction, kNoTrigger);
    }
    if ((direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuseTrigger(direction, "not while the direction streams");
    }
    const std::vector<std::string> names = triggerSignals(direction);
    const std::string& wanted = signal.empty() ? names.front() : signal;
    if (std::find(names.begin(), names.end(), wanted) == names.end()) {
        return refuseTrigger(direction, "the board has no signal \"" + wanted + "\"");
    }
    bladerf_trigger_signal value = BLADERF_TRIGGER_INVALID;
    for (const auto& [name, code] : kSignals) {
        if (wanted == name) {
            value = code;
        }
    }
    TriggerSetting& setting = triggers_[slotOf(direction)];
    if (role == TriggerRole::off && setting.role != TriggerRole::off) {
        // Off disarms at once: the next start must not wait for a line.
        if (!armTrigger(direction, false)) {
            return false;
        }
    }
    setting = TriggerSetting{role, value, false};
    return true;
}

bool BladeRfSdrDevice::libraryTrigger(StreamDirection direction, bladerf_trigger& trigger) const
{
    const TriggerSetting& setting = triggers_[slotOf(direction)];
    const bladerf_channel channel = direction == StreamDirection::rx ? BLADERF_CHANNEL_RX(0) : BLADERF_CHANNEL_TX(0);
    if (bladeRfApi().triggerInit(handle_->device, channel, static_cast<bladerf_trigger_signal>(setting.signal),
                                 &trigger) < 0) {
        return false;
    }
    trigger.role = libraryRole(setting.role);
    return true;
}

bool BladeRfSdrDevice::armTrigger(StreamDirection direction, bool armed)
{
    if (!supportsTrigger(direction)) {
        return refuseTrigger(direction, kNoTrigger);
    }
    TriggerSetting& setting = triggers_[slotOf(direction)];
    if (setting.role == TriggerRole::off) {
        if (!armed) {
            return true;
        }
        return refuseTrigger(direction, "choose a role (master or slave) before arming");
    }
    if ((direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuseTrigger(direction, "not while the direction streams");
    }
    const std::lock_guard lock(deviceMutex_);
    bladerf_trigger trigger{};
    if (!libraryTrigger(direction, trigger)) {
        return refuseTrigger(direction, "the library refused the signal");
    }
    if (!armed) {
        trigger.role = BLADERF_TRIGGER_ROLE_DISABLED;
    }
    if (const int result = bladeRfApi().triggerArm(handle_->device, &trigger, armed, 0, 0); result < 0) {
        return refuseTrigger(direction, "arming failed: " + detail::bladeRfErrorText(bladeRfApi(), result));
    }
    // A board whose FPGA cannot trigger takes the call and goes on free-running.
    // libbladeRF's bladeRF 2.0 refuses a null for any of the three states.
    bool readBack = false;
    bool fired = false;
    bool fireRequested = false;
    if (armed && (bladeRfApi().triggerState(handle_->device, &trigger, &readBack, &fired, &fireRequested, nullptr,
                                            nullptr) < 0 ||
                  !readBack)) {
        setting.armed = false;
        return refuseTrigger(direction, "the board does not read back as armed");
    }
    setting.armed = armed;
    return true;
}

bool BladeRfSdrDevice::fireTrigger(StreamDirection direction)
{
    if (!supportsTrigger(direction)) {
        return refuseTrigger(direction, kNoTrigger);
    }
    const TriggerSetting& setting = triggers_[slotOf(direction)];
    if (setting.role != TriggerRole::master || !setting.armed) {
        return refuseTrigger(direction, "only an armed master fires the line");
    }
    const std::lock_guard lock(deviceMutex_);
    bladerf_trigger trigger{};
    if (!libraryTrigger(direction, trigger)) {
        return refuseTrigger(direction, "the library refused the signal");
    }
    if (const int result = bladeRfApi().triggerFire(handle_->device, &trigger); result < 0) {
        return refuseTrigger(direction, "the fire failed: " + detail::bladeRfErrorText(bladeRfApi(), result));
    }
    return true;
}

std::optional<TriggerState> BladeRfSdrDevice::triggerState(StreamDirection direction) const
{
    if (!supportsTrigger(direction) || triggers_[slotOf(direction)].role == TriggerRole::off) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    bladerf_trigger trigger{};
    if (!libraryTrigger(direction, trigger)) {
        return std::nullopt;
    }
    TriggerState state;
    if (bladeRfApi().triggerState(handle_->device, &trigger, &state.armed, &state.fired, &state.fireRequested, nullptr,
                                  nullptr) < 0) {
        return std::nullopt;
    }
    return state;
}

bool BladeRfSdrDevice::readyForTriggeredStart(StreamDirection direction)
{
    const bool receive = direction == StreamDirection::rx;
    if (receive) {
        rxTriggeredStart_.store(false);
        triggeredStartTickPlusOne_.store(0);
    }
    if (!triggers_[slotOf(direction)].armed) {
        return true;
    }
    // Asked to wait, the stream starts only on a board that says it waits.
    const std::optional<TriggerState> state = triggerState(direction);
    if (!state) {
        return refuseTrigger(direction, "the board's trigger state cannot be read; not starting free-running");
    }
    if (!state->armed) {
        return refuseTrigger(direction, "the board does not read back as armed; not starting free-running");
    }
    if (state->fired) {
        return refuseTrigger(direction, "the line fired already; arm the trigger again before the next start");
    }
    if (receive) {
        rxTriggeredStart_.store(true);
    }
    return true;
}

std::optional<std::int64_t> BladeRfSdrDevice::triggeredStartTimeNs() const
{
    const std::uint64_t tickPlusOne = triggeredStartTickPlusOne_.load(std::memory_order_relaxed);
    if (tickPlusOne == 0) {
        return std::nullopt;
    }
    return detail::nanosecondsOfTick(tickPlusOne - 1, rateOf(false), timeOffsetNs_.load());
}

} // namespace veltrano
