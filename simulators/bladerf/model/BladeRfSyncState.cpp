// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfSyncState.h"

#include <algorithm>

namespace veltrano::sim::bladerf {

void TriggerLine::arm(BoardTrigger& trigger, TriggerRole role, int signal, std::uint64_t rate, bool arm)
{
    const std::lock_guard lock(mutex_);
    trigger.role = role;
    trigger.signal = signal;
    trigger.rate = rate;
    const bool armed = arm && role != TriggerRole::disabled;
    trigger.armed = armed;
    trigger.fired = false;
    trigger.fireRequested = false;
    trigger.started = false;
    const auto member = std::find(members_.begin(), members_.end(), &trigger);
    if (armed && member == members_.end()) {
        members_.push_back(&trigger);
    } else if (!armed && member != members_.end()) {
        members_.erase(member);
    }
}

std::vector<BoardTrigger> TriggerLine::fire(BoardTrigger& master)
{
    std::unique_lock lock(mutex_);
    std::vector<BoardTrigger> fired;
    if (!master.armed || master.role != TriggerRole::master) {
        return fired;
    }
    master.fireRequested = true;
    // The instant is one for every board: the first tick none of them has
    // passed, so that no counter runs backwards.
    std::uint64_t tick = 0;
    for (const BoardTrigger* member : members_) {
        if (member->signal == master.signal && !member->fired && member->counter != nullptr) {
            tick = std::max(tick, *member->counter);
        }
    }
    for (BoardTrigger* member : members_) {
        if (member->signal == master.signal && !member->fired) {
            member->fired = true;
            member->firedTick = tick;
            firedTicks_.emplace_back(member->serial, tick);
            fired.push_back(*member);
        }
    }
    lock.unlock();
    firedSignal_.notify_all();
    return fired;
}

TriggerLine::Wait TriggerLine::await(BoardTrigger& trigger, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!trigger.armed || trigger.started) {
        return Wait::free;
    }
    if (!firedSignal_.wait_for(lock, timeout, [&] { return trigger.fired || !trigger.armed; })) {
        if (trigger.counter != nullptr) {
            *trigger.counter += trigger.rate * static_cast<std::uint64_t>(timeout.count()) / 1000;
        }
        return Wait::waiting;
    }
    if (!trigger.armed) {
        return Wait::free;
    }
    trigger.started = true;
    if (trigger.counter != nullptr) {
        *trigger.counter = trigger.firedTick;
    }
    return Wait::fired;
}

BoardTrigger TriggerLine::stateOf(const BoardTrigger& trigger) const
{
    const std::lock_guard lock(mutex_);
    return trigger;
}

void TriggerLine::leave(BoardTrigger& trigger)
{
    const std::lock_guard lock(mutex_);
    std::erase(members_, &trigger);
    trigger.armed = false;
}

std::optional<std::uint64_t> TriggerLine::firedTickOf(const std::string& serial) const
{
    const std::lock_guard lock(mutex_);
    for (const auto& [firedSerial, tick] : firedTicks_) {
        if (firedSerial == serial) {
            return tick;
        }
    }
    return std::nullopt;
}

void ClockOutputs::set(const std::string& serial, bool on)
{
    const std::lock_guard lock(mutex_);
    std::erase(on_, serial);
    if (on) {
        on_.push_back(serial);
    }
}

bool ClockOutputs::on(const std::string& serial) const
{
    const std::lock_guard lock(mutex_);
    return std::find(on_.begin(), on_.end(), serial) != on_.end();
}

} // namespace veltrano::sim::bladerf
