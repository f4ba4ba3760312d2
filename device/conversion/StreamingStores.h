// SPDX-License-Identifier: MIT
// The frame around a wide loop that writes with streaming (non-temporal)
// stores, and the input prefetch of the loops that read floats. Those
// stores go to memory without first reading each output cache line, which is
// what an ordinary store to a line not in the cache costs, but they need
// aligned addresses and they leave nothing in the cache.
//
// Included only by the wide kernel files, each compiled for its own
// instruction set: everything here is static, so each file gets its own copy
// (see floatsOf in ConversionKernels.h).
#pragma once

#include "device/conversion/ConversionKernels.h"

#include <cstdint>
#include <type_traits>
#include <xmmintrin.h>

namespace veltrano::detail {

// The loops that read floats ask for their input this far ahead (2 KiB, 32
// cache lines). They read four or eight bytes for each one or two they
// write, and on a busy machine, with the input in level 3 or in memory,
// they ran 14 to 27 % slower on the hardware prefetcher alone. A prefetch
// never faults, so asking past the end of the input is harmless; the
// address is formed as an integer so that no pointer leaves its array.
constexpr std::size_t prefetchAheadBytes = 2048;

static inline void prefetchAhead(const float* source, std::size_t lines)
{
    for (std::size_t line = 0; line < lines; ++line) {
        _mm_prefetch(
            reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(source) + prefetchAheadBytes + 64 * line),
            _MM_HINT_T0);
    }
}

// Streaming loops start on a cache line: every set's stores are then aligned,
// and the write-combining buffers fill whole lines.
constexpr std::size_t streamingAlignment = 64;

// The pointer count complex samples further on, for either side's type:
// interleaved integers hold two values per sample.
static inline const std::int8_t* samplesAfter(const std::int8_t* values, std::size_t count)
{
    return values + 2 * count;
}

static inline std::int8_t* samplesAfter(std::int8_t* values, std::size_t count)
{
    return values + 2 * count;
}

static inline const std::int16_t* samplesAfter(const std::int16_t* values, std::size_t count)
{
    return values + 2 * count;
}

static inline std::int16_t* samplesAfter(std::int16_t* values, std::size_t count)
{
    return values + 2 * count;
}

template <typename Sample>
static inline Sample* samplesAfter(Sample* samples, std::size_t count)
{
    return samples + count;
}

// The samples to write with ordinary stores before out reaches a cache line,
// at most count. When no whole number of samples gets there (an output that
// is not aligned to its own sample size), that is all of them.
template <typename Out>
static inline std::size_t samplesBeforeCacheLine(const Out* out, std::size_t count)
{
    constexpr std::size_t bytesPerSample = std::is_integral_v<Out> ? 2 * sizeof(Out) : sizeof(Out);
    const std::size_t gap =
        (streamingAlignment - reinterpret_cast<std::uintptr_t>(out) % streamingAlignment) % streamingAlignment;
    if (gap % bytesPerSample != 0) {
        return count;
    }
    return gap / bytesPerSample < count ? gap / bytesPerSample : count;
}

// A conversion with streaming stores: the cached kernel up to the first cache
// line of the output, the streaming loop (whole steps only; it returns how
// many samples it converted) from there, a store fence so that the streamed
// data is ordered before anything the caller stores next (a ring position it
// publishes, say), and the cached kernel again for the rest. Every part gives
// the same bits, so the result is that of the cached kernel alone.
template <typename In, typename Out, std::size_t (*streamingSteps)(const In*, Out*, std::size_t),
          void (*cached)(const In*, Out*, std::size_t)>
static void convertStreaming(const In* in, Out* out, std::size_t count)
{
    const std::size_t head = samplesBeforeCacheLine(out, count);
    cached(in, out, head);
    const std::size_t body = streamingSteps(samplesAfter(in, head), samplesAfter(out, head), count - head);
    _mm_sfence();
    cached(samplesAfter(in, head + body), samplesAfter(out, head + body), count - head - body);
}

} // namespace veltrano::detail
