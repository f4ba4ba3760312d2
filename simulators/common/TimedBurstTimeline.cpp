// SPDX-License-Identifier: MIT
#include "common/TimedBurstTimeline.h"

#include <algorithm>
#include <string>

namespace veltrano::sim {

std::uint64_t TimedBurstTimeline::take(std::uint64_t timestamp, std::uint64_t count, std::uint64_t soundEnd,
                                       std::uint64_t counter)
{
    const bool now = timestamp == 0;
    const bool late = !now && timestamp < counter;
    // Nothing goes out before the samples already scheduled.
    const std::uint64_t start = std::max(end_, now || late ? counter : timestamp);
    const bool stampsRunOn = now || timestamp == expected_;
    if (open_ && stampsRunOn && start != end_) {
        journal_.write("tx underrun at " + std::to_string(end_) + " resumed " + std::to_string(start));
    }
    if (!open_ || !stampsRunOn || start != end_) {
        close();
        open_ = soundEnd > 0;
        late_ = late;
        burstStart_ = start;
        requested_ = timestamp;
        sound_ = 0;
    }
    if (open_ && soundEnd > 0) {
        sound_ = start - burstStart_ + soundEnd;
    }
    expected_ = now ? 0 : timestamp + count;
    end_ = start + count;
    if (soundEnd == 0) {
        close(); // the silence that completes the library's buffer after a burst's end
    }
    return start;
}

void TimedBurstTimeline::close()
{
    if (open_ && sound_ > 0) {
        journal_.write(late_ ? "tx burst late at " + std::to_string(burstStart_) + " requested " +
                                   std::to_string(requested_) + " samples " + std::to_string(sound_)
                             : "tx burst at " + std::to_string(burstStart_) + " samples " + std::to_string(sound_));
    }
    open_ = false;
}

void TimedBurstTimeline::restart(std::uint64_t counter)
{
    close();
    end_ = counter;
    expected_ = 0;
}

} // namespace veltrano::sim
