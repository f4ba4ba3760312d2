// SPDX-License-Identifier: MIT
#include "bladerf/library/BladeRfSimSync.h"

#include "bladerf/library/BladeRfSimStreams.h"

#include "common/SimControlExport.h"

#include <cstdio>

namespace veltrano::sim::bladerf {
namespace {

bool knownSignal(int signal)
{
    return (signal >= BLADERF_TRIGGER_J71_4 && signal <= BLADERF_TRIGGER_MINI_EXP_1) ||
           (signal >= BLADERF_TRIGGER_USER_0 && signal <= BLADERF_TRIGGER_USER_7);
}

BoardTrigger& triggerOf(::bladerf& device, bladerf_channel channel)
{
    return device.triggers[channel & 1];
}

} // namespace

int triggerInit(::bladerf& device, bladerf_channel channel, bladerf_trigger_signal signal, bladerf_trigger& trigger)
{
    if (!knownSignal(signal)) {
        return BLADERF_ERR_INVAL;
    }
    const BoardTrigger state = simulator().triggerLine().stateOf(triggerOf(device, channel));
    trigger.channel = channel;
    trigger.signal = signal;
    // The role the board holds for this signal; a fresh one is disabled.
    trigger.role =
        state.signal == signal ? static_cast<bladerf_trigger_role>(state.role) : BLADERF_TRIGGER_ROLE_DISABLED;
    trigger.options = 0;
    return 0;
}

int triggerArm(::bladerf& device, const bladerf_trigger& trigger, bool arm)
{
    const int role = trigger.role;
    if (!knownSignal(trigger.signal) || role < BLADERF_TRIGGER_ROLE_DISABLED || role > BLADERF_TRIGGER_ROLE_SLAVE) {
        return BLADERF_ERR_INVAL;
    }
    if (device.board->triggerArmIgnored) {
        return 0;
    }
    const ::bladerf::Stream& stream = streamFor(device, trigger.channel);
    simulator().triggerLine().arm(triggerOf(device, trigger.channel), static_cast<TriggerRole>(role), trigger.signal,
                                  stream.sampleRate, arm);
    return 0;
}

int triggerFire(::bladerf& device, const bladerf_trigger& trigger)
{
    if (trigger.role != BLADERF_TRIGGER_ROLE_MASTER) {
        return BLADERF_ERR_INVAL;
    }
    const std::vector<BoardTrigger> fired = simulator().triggerLine().fire(triggerOf(device, trigger.channel));
    if (fired.empty()) {
        return BLADERF_ERR_INVAL;
    }
    for (const BoardTrigger& board : fired) {
        const std::uint64_t ns = board.rate == 0 ? 0 : board.firedTick * 1'000'000'000 / board.rate;
        simulator().log(JournalLine("triggered") << "at" << ns << "tick" << board.firedTick);
    }
    return 0;
}

int triggerState(::bladerf& device, const bladerf_trigger& trigger, bool* armed, bool* fired, bool* fireRequested)
{
    const BoardTrigger state = simulator().triggerLine().stateOf(triggerOf(device, trigger.channel));
    const bool matches = state.signal == trigger.signal;
    if (armed != nullptr) {
        *armed = matches && state.armed;
    }
    if (fired != nullptr) {
        *fired = matches && state.fired;
    }
    if (fireRequested != nullptr) {
        *fireRequested = matches && state.fireRequested;
    }
    return 0;
}

int awaitTrigger(::bladerf& device, int direction, unsigned timeoutMs)
{
    const auto wait =
        simulator().triggerLine().await(device.triggers[direction & 1], std::chrono::milliseconds(timeoutMs));
    return wait == TriggerLine::Wait::waiting ? BLADERF_ERR_TIMEOUT : 0;
}

void leaveSync(::bladerf& device)
{
    for (BoardTrigger& trigger : device.triggers) {
        simulator().triggerLine().leave(trigger);
    }
    if (device.clock.clockOutput) {
        simulator().clockOutputs().set(std::string(device.board->serialText()), false);
    }
}

int bladeRf2Only(const ::bladerf& device)
{
    return device.board->ad9361 ? 0 : BLADERF_ERR_UNSUPPORTED;
}

int setPllEnable(::bladerf& device, bool enable)
{
    if (const int refused = bladeRf2Only(device); refused != 0) {
        return refused;
    }
    device.clock.pllEnabled = enable;
    return 0;
}

int setPllReference(::bladerf& device, std::uint64_t frequencyHz)
{
    if (const int refused = bladeRf2Only(device); refused != 0) {
        return refused;
    }
    if (frequencyHz < kPllReferenceRange.min || frequencyHz > kPllReferenceRange.max) {
        return BLADERF_ERR_RANGE;
    }
    device.clock.pllReferenceHz = frequencyHz;
    return 0;
}

bool pllLocked(::bladerf& device)
{
    ClockOutputs& outputs = simulator().clockOutputs();
    return veltrano::sim::bladerf::pllLocked(device.clock,
                                             [&](const std::string& serial) { return outputs.on(serial); });
}

int setClockOutput(::bladerf& device, bool enable)
{
    if (const int refused = bladeRf2Only(device); refused != 0) {
        return refused;
    }
    device.clock.clockOutput = enable;
    simulator().clockOutputs().set(std::string(device.board->serialText()), enable);
    return 0;
}

int setTamerMode(::bladerf& device, int mode)
{
    if (device.board->ad9361) {
        return BLADERF_ERR_UNSUPPORTED; // a bladeRF1's part
    }
    if (mode < BLADERF_VCTCXO_TAMER_DISABLED || mode > BLADERF_VCTCXO_TAMER_10_MHZ) {
        return BLADERF_ERR_INVAL;
    }
    device.clock.tamerMode = mode;
    return 0;
}

} // namespace veltrano::sim::bladerf

// The device timestamp the board with this serial started at when its
// trigger fired; 0, or -1 when it has not fired (or no board has the serial).
VELTRANO_SIM_EXPORT int veltrano_sim_bladerf_triggered_tick(const char* serial, std::uint64_t* tick)
{
    if (serial == nullptr || tick == nullptr) {
        return -1;
    }
    const auto fired = veltrano::sim::bladerf::simulator().triggerLine().firedTickOf(serial);
    if (!fired) {
        return -1;
    }
    *tick = *fired;
    return 0;
}
