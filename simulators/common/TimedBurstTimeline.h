// SPDX-License-Identifier: MIT
#pragma once

// The transmit side of a board whose FPGA honours timestamps, shared by the
// simulated libbladeRF and the emulated bladeRF: each message of samples
// waits until the board's counter reaches its timestamp (silence goes out
// before it) and then starts on that tick; a message stamped 0 goes at once;
// one whose time has passed also goes at once, late, as the FPGA sends it
// without telling the host. Messages whose timestamps run on from the
// previous one continue its burst; a burst that resumes after the counter
// ran past its samples has underrun.
//
// Each burst is journalled once it ends: "tx burst at <tick> samples <count>"
// ("tx burst late at <tick> requested <timestamp> samples <count>"), the tick
// on the same counter the receive timestamps use, and "tx underrun at <tick>
// resumed <tick>". The board cannot tell a burst's end from the silence the
// library completes its buffer with: a burst ends at a message of silence,
// and its count runs to its last sample that is not silence. Silence alone is
// no burst.

#include "common/SimJournal.h"

#include <cstdint>

namespace veltrano::sim {

class TimedBurstTimeline {
public:
    explicit TimedBurstTimeline(Journal& journal) : journal_(journal) {}

    // One message of count samples stamped timestamp (0: at once), whose
    // sound ends after soundEnd samples (0: all silence), reaching the board
    // when its counter reads counter. Returns the tick its first sample goes
    // out on.
    std::uint64_t take(std::uint64_t timestamp, std::uint64_t count, std::uint64_t soundEnd, std::uint64_t counter);
    // Journals the burst in progress, if any (a stream that stops).
    void close();
    // The tick after the last sample the board has scheduled.
    std::uint64_t scheduledEnd() const { return end_; }
    // A board reset or a new stream: nothing is scheduled.
    void restart(std::uint64_t counter);

private:
    Journal& journal_;
    std::uint64_t end_ = 0;
    bool open_ = false;
    bool late_ = false;
    std::uint64_t burstStart_ = 0;
    std::uint64_t requested_ = 0;
    std::uint64_t sound_ = 0;    // samples from burstStart_ to the last that is not silence
    std::uint64_t expected_ = 0; // the timestamp that continues the burst
};

} // namespace veltrano::sim
