// SPDX-License-Identifier: MIT
// The peer every benchmark here runs beside: a memcpy of the same number of
// bytes between two buffers that stay in cache, counted in the same items.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace veltrano::bench {

// memcpy of `bytes` per iteration; `items` per iteration are reported too
// (samples, for a comparison in samples per second), unless 0.
inline void memcpyPeer(benchmark::State& state, std::size_t bytes, std::size_t items)
{
    const std::vector<std::uint8_t> source(bytes, 1);
    std::vector<std::uint8_t> target(bytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    if (items != 0) {
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
    }
}

} // namespace veltrano::bench
