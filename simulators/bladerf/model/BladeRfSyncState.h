// SPDX-License-Identifier: MIT
#pragma once

// What lets simulated bladeRF boards sample in step: each direction's trigger
// and the line every board of one process shares, and each board's reference
// clock. Kept apart from the library's device so that a USB-level board can
// drive the same state.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::sim::bladerf {

// The library's trigger roles, with its values.
enum class TriggerRole { disabled = 0, master = 1, slave = 2 };

// One direction's trigger of one board. Every field is guarded by the
// line's mutex once the trigger has been armed.
struct BoardTrigger {
    int signal = -1;
    TriggerRole role = TriggerRole::disabled;
    bool armed = false;
    bool fired = false;
    bool fireRequested = false; // a master's fire call reached the line
    // The stream has taken the fire: its samples go on from firedTick.
    bool started = false;
    std::uint64_t firedTick = 0;
    // The direction's sample counter and rate, read at a fire: the board's
    // stream touches the counter only under the line's mutex while armed.
    std::uint64_t* counter = nullptr;
    std::uint64_t rate = 0;
    std::string serial;
};

// The trigger line shared by every board of a process. A master's fire
// starts every armed board on its signal at one instant: the tick no armed
// board's counter has passed yet, the same on every board at equal rates.
class TriggerLine {
public:
    // Configures and (dis)arms a trigger whose stream runs at `rate`;
    // disarming, or the role "disabled", clears its fire.
    void arm(BoardTrigger& trigger, TriggerRole role, int signal, std::uint64_t rate, bool arm);
    // A copy of the trigger as it stands.
    BoardTrigger stateOf(const BoardTrigger& trigger) const;
    // The master's fire: copies of every trigger it fired (the master's
    // among them), empty when `master` is no armed master. Wakes every
    // stream waiting for it.
    std::vector<BoardTrigger> fire(BoardTrigger& master);
    // What a stream call finds: no armed trigger holds it, the fire has just
    // come (its counter now stands at the fire's tick), or no fire came
    // within the call's time-out (its counter ran on by that time's samples).
    enum class Wait { free, fired, waiting };
    Wait await(BoardTrigger& trigger, std::chrono::milliseconds timeout);
    // A closing board leaves the line.
    void leave(BoardTrigger& trigger);
    // The tick the board with this serial fired at, on either direction.
    std::optional<std::uint64_t> firedTickOf(const std::string& serial) const;

private:
    mutable std::mutex mutex_;
    std::condition_variable firedSignal_;
    std::vector<BoardTrigger*> members_;
    // Ticks of boards that fired, kept after they close, by serial.
    std::vector<std::pair<std::string, std::uint64_t>> firedTicks_;
};

// The clock outs of the boards open in a process, by serial: a board's
// reference input may be wired to another's.
class ClockOutputs {
public:
    void set(const std::string& serial, bool on);
    bool on(const std::string& serial) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> on_;
};

// A board's reference clock: where its sample clock comes from, and whether
// the bladeRF 2.0's PLL locks to the reference it is given.
struct BoardClock {
    bool pllEnabled = false;
    std::uint64_t pllReferenceHz = 10'000'000;
    bool externalSelected = false; // the clock select: external in rather than the oscillator
    bool clockOutput = false;
    int tamerMode = 0; // a bladeRF1's VCTCXO tamer
    // What is wired to the reference input: a frequency, or another board's
    // clock out (by serial), or nothing.
    std::optional<std::uint64_t> externalReferenceHz;
    std::string referenceFromSerial;
};

// The clock out of a board is its 38.4 MHz reference.
inline constexpr std::uint64_t kClockOutHz = 38'400'000;

// Whether the PLL locks: it runs and the reference present is at the
// frequency it was told. outputOf says whether a board's clock out is on.
template <typename ClockOutOf>
bool pllLocked(const BoardClock& clock, ClockOutOf outputOf)
{
    if (!clock.pllEnabled) {
        return false;
    }
    std::optional<std::uint64_t> present = clock.externalReferenceHz;
    if (!clock.referenceFromSerial.empty() && outputOf(clock.referenceFromSerial)) {
        present = kClockOutHz;
    }
    return present && *present == clock.pllReferenceHz;
}

} // namespace veltrano::sim::bladerf
