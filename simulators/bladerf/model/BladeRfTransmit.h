// SPDX-License-Identifier: MIT
#pragma once

// What a bladeRF does with the samples it is sent, the same at both levels:
// it appends them to a capture file if one is named, and hands timed ones to
// its TimedBurstTimeline, which needs to know where a buffer's sound ends.

#include "common/SimPlatform.h"

#include <cstddef>

namespace veltrano::sim::bladerf {

// SC16 Q11 samples (4 bytes each) up to and including the last that is not silence.
std::size_t soundEnd(const unsigned char* samples, std::size_t count);

// Appended and closed at once, so a test may read the file at any time.
void appendToCapture(const NativePath& path, const unsigned char* bytes, std::size_t size);

// Where a two-channel stream's channel (0 or 1) is captured beside the
// capture of what arrived: the capture's path with ".channel0" or ".channel1" appended.
NativePath channelCapturePath(const NativePath& capture, int channel);
// Appends count pairs (I0 Q0 I1 Q1, 8 bytes each) to the capture as they
// arrived and each channel's samples to its own capture.
void appendToChannelCaptures(const NativePath& path, const unsigned char* pairs, std::size_t count);

} // namespace veltrano::sim::bladerf
