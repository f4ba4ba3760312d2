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

template <typename TickOf>
std::vector<BoardTrigger> TriggerLine::fireMembers(BoardTrigger& master, TickOf tickOf)
{
    std::vector<BoardTrigger> fired;
    if (!master.armed || master.role != TriggerRole::master) {
        return fired;
    }
    master.fireRequested = true;
    for (BoardTrigger* member : members_) {
        if (member->signal == master.signal && !member->fired) {
            member->fired = true;
            member->firedTick = tickOf(*member);
            fires_.push_back(*member);
            fired.push_back(*member);
        }
    }
    return fired;
}

std::vector<BoardTrigger> TriggerLine::fire(BoardTrigger& master)
{
    std::unique_lock lock(mutex_);
    // The instant is one for every board: the first tick none of them has
    // passed, so that no counter runs backwards.
    std::uint64_t tick = 0;
    for (const BoardTrigger* member : members_) {
        if (member->signal == master.signal && !member->fired && member->counter != nullptr) {
            tick = std::max(tick, *member->counter);
        }
    }
    std::vector<BoardTrigger> fired = fireMembers(master, [tick](const BoardTrigger&) { return tick; });
    lock.unlock();
    firedSignal_.notify_all();
    return fired;
}

std::vector<BoardTrigger> TriggerLine::fireAt(BoardTrigger& master, SampleClock::Clock::time_point instant)
{
    std::unique_lock lock(mutex_);
    std::vector<BoardTrigger> fired = fireMembers(master, [instant](BoardTrigger& member) {
        member.firedAt = instant;
        return member.clock != nullptr ? member.clock->countAt(instant) : 0;
    });
    lock.unlock();
    firedSignal_.notify_all();
    return fired;
}

std::uint8_t TriggerLine::controlRegister(const BoardTrigger& trigger) const
{
    const std::lock_guard lock(mutex_);
    std::uint8_t value = trigger.fired ? 0 : kTriggerLine; // the line is active low
    if (trigger.armed) {
        value |= kTriggerArm;
    }
    if (trigger.fireRequested) {
        value |= kTriggerFire;
    }
    if (trigger.role == TriggerRole::master) {
        value |= kTriggerMaster;
    }
    return value;
}

std::vector<BoardTrigger> TriggerLine::writeControlRegister(BoardTrigger& trigger, std::uint8_t value, int signal,
                                                            SampleClock::Clock::time_point now)
{
    if ((value & kTriggerFire) != 0) {
        return fireAt(trigger, now);
    }
    const TriggerRole role = value == 0                      ? TriggerRole::disabled
                             : (value & kTriggerMaster) != 0 ? TriggerRole::master
                                                             : TriggerRole::slave;
    arm(trigger, role, signal, trigger.rate, (value & kTriggerArm) != 0);
    return {};
}

bool TriggerLine::holds(const BoardTrigger& trigger) const
{
    const std::lock_guard lock(mutex_);
    return trigger.armed && !trigger.fired;
}

std::optional<std::uint64_t> TriggerLine::takeFire(BoardTrigger& trigger)
{
    const std::lock_guard lock(mutex_);
    if (!trigger.armed || !trigger.fired || trigger.started) {
        return std::nullopt;
    }
    trigger.started = true;
    return trigger.firedTick;
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
    for (const BoardTrigger& fire : fires_) {
        if (fire.serial == serial) {
            return fire.firedTick;
        }
    }
    return std::nullopt;
}

std::optional<BoardTrigger> TriggerLine::lastFireOf(const std::string& serial) const
{
    const std::lock_guard lock(mutex_);
    for (auto fire = fires_.rbegin(); fire != fires_.rend(); ++fire) {
        if (fire->serial == serial) {
            return *fire;
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
