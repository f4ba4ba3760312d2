// SPDX-License-Identifier: MIT
#pragma once

// What lets simulated bladeRF boards sample in step: each direction's trigger
// and the line every board of one process shares, and each board's reference
// clock. Kept apart from the library's device so that a USB-level board (its
// FPGA's trigger control registers) drives the same state.

#include "common/SampleClock.h"
#include "common/SimJournal.h"

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
    // A USB-level board counts by its sample clock instead: a fire reads the
    // clock at the fire's instant, and the board's own journal notes it.
    const SampleClock* clock = nullptr;
    Journal* journal = nullptr;
    SampleClock::Clock::time_point firedAt{};
};

// The bits of the FPGA's trigger control register (one per direction), as
// libbladeRF reads and writes them: arm, the master's fire request, master
// rather than slave, and the line, which reads low once it has fired.
inline constexpr std::uint8_t kTriggerArm = 1u << 0;
inline constexpr std::uint8_t kTriggerFire = 1u << 1;
inline constexpr std::uint8_t kTriggerMaster = 1u << 2;
inline constexpr std::uint8_t kTriggerLine = 1u << 3;

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
    // The same fire from boards that count by their clocks: every armed
    // board on the signal starts at `instant`, each at the tick its own clock
    // reaches then (journal each on its own board's journal).
    std::vector<BoardTrigger> fireAt(BoardTrigger& master, SampleClock::Clock::time_point instant);
    // The FPGA's control register of this trigger, and a write of it: a
    // write without the fire bit (re)configures and (dis)arms (0: disabled),
    // one with it fires the line when the trigger is an armed master (a
    // slave's fire bit does nothing). Returns what the write fired.
    std::uint8_t controlRegister(const BoardTrigger& trigger) const;
    std::vector<BoardTrigger> writeControlRegister(BoardTrigger& trigger, std::uint8_t value, int signal,
                                                   SampleClock::Clock::time_point now);
    // Whether an armed trigger still holds its stream back (no fire yet).
    bool holds(const BoardTrigger& trigger) const;
    // The tick a fire that has come but no stream has taken yet starts at;
    // taking it lets the stream go.
    std::optional<std::uint64_t> takeFire(BoardTrigger& trigger);
    // What a stream call finds: no armed trigger holds it, the fire has just
    // come (its counter now stands at the fire's tick), or no fire came
    // within the call's time-out (its counter ran on by that time's samples).
    enum class Wait { free, fired, waiting };
    Wait await(BoardTrigger& trigger, std::chrono::milliseconds timeout);
    // A closing board leaves the line.
    void leave(BoardTrigger& trigger);
    // The tick the board with this serial fired at, on either direction.
    std::optional<std::uint64_t> firedTickOf(const std::string& serial) const;
    // The board's latest fire, as its trigger stood then.
    std::optional<BoardTrigger> lastFireOf(const std::string& serial) const;

private:
    // Fires every armed member on the master's signal at the tick tickOf
    // gives it; the mutex is held.
    template <typename TickOf>
    std::vector<BoardTrigger> fireMembers(BoardTrigger& master, TickOf tickOf);

    mutable std::mutex mutex_;
    std::condition_variable firedSignal_;
    std::vector<BoardTrigger*> members_;
    // The triggers of boards that fired, as they fired, kept after the boards close.
    std::vector<BoardTrigger> fires_;
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
