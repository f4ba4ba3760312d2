// SPDX-License-Identifier: MIT
// From which output size the conversions write with streaming stores.
//
// What decides it is where the output's lines are when the call starts, and
// only the output's size says anything about that. An output that fits in
// the cache one core uses may still be there, dirty, from the loop that
// wrote or read it last (a reused receive buffer); a streaming store to such
// a line first writes it back and drops it: conversions into such outputs
// of up to 4 MiB ran 1.2 to 10 times slower with streaming stores than with
// ordinary ones. An output that does not fit cannot be there, and then
// streaming stores save the read of every line that ordinary stores make.
// The input is read the same way either way.
#pragma once

#include <cstddef>

namespace veltrano::detail {

// The most of a shared level 3 cache that one core was measured to keep a
// buffer it had just written in: between 16 and 32 MiB on a quiet virtual
// machine whose processor reports 480 MiB shared by its two cores (about
// 4 MiB while other programs kept it busy), and on another that reports
// 508 MiB one core reaches only its own complex's 32 MiB. Virtual machines
// report the whole package's cache, and as shared by their own few
// processors, so the reported size is not trusted beyond this.
constexpr std::size_t largestLevel3Reach = std::size_t{16} << 20;

// The cache one core can count on to hold an output it has just touched:
// its own level 2 and the level 3 beyond it (which holds what level 2
// evicts, so the two add up), at most largestLevel3Reach of the latter.
// The sizes are as the processor reports them, 0 when unknown; lastLevel
// equal to level2 means there is no level 3. With neither known, the
// level 3 reach alone.
constexpr std::size_t streamingOutputThreshold(std::size_t level2, std::size_t lastLevel)
{
    const std::size_t level3 = lastLevel > level2 ? lastLevel : 0;
    if (level2 == 0 && level3 == 0) {
        return largestLevel3Reach;
    }
    return level2 + (level3 < largestLevel3Reach ? level3 : largestLevel3Reach);
}

} // namespace veltrano::detail
