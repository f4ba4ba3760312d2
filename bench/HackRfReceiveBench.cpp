// SPDX-License-Identifier: MIT
// The HackRF receive path against memcpy of the same bytes, in the same run:
// the ring alone (write + read), readSamples end to end (ring, discard check,
// conversion to complex float straight out of the ring) and readNativeSamples
// (the board's bytes, one copy out of the ring), fed by the simulated
// libhackrf's free-running transfer thread.
//
//   build/bin/hackrf-receive-bench --benchmark_min_time=0.5
#include "bench/MemcpyPeer.h"
#include "device/hackrf/HackRfRings.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace {

using veltrano::HackRfSdrDevice;

constexpr std::size_t kChunkBytes = 262'144; // one of libhackrf's transfers
constexpr std::size_t kSamples = kChunkBytes / 2;

void memcpyChunk(benchmark::State& state)
{
    // In samples, for the readSamples comparison (8 output bytes per sample).
    const auto bytes = static_cast<std::size_t>(state.range(0));
    veltrano::bench::memcpyPeer(state, bytes, bytes / 8);
}
BENCHMARK(memcpyChunk)->Arg(kChunkBytes)->Arg(kSamples * sizeof(std::complex<float>));

void rawBufferWriteRead(benchmark::State& state)
{
    const auto ring = std::make_shared<HackRfSdrDevice::RawBuffer>(4'194'304);
    std::vector<std::uint8_t> source(kChunkBytes, 1);
    std::vector<std::uint8_t> target(kChunkBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring->write(source.data(), source.size()));
        benchmark::DoNotOptimize(ring->read(target.data(), target.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkBytes));
}
BENCHMARK(rawBufferWriteRead);

// The ring's own work without the ring: the same two copies through a 4 MiB
// buffer at the same rotating offsets, so the ratio shows what the positions
// and their ordering cost beyond the memory traffic.
void twoCopiesThroughFourMiB(benchmark::State& state)
{
    std::vector<std::uint8_t> storage(4'194'304);
    std::vector<std::uint8_t> source(kChunkBytes, 1);
    std::vector<std::uint8_t> target(kChunkBytes);
    std::size_t offset = 0;
    for (auto _ : state) {
        std::memcpy(storage.data() + offset, source.data(), kChunkBytes);
        std::memcpy(target.data(), storage.data() + offset, kChunkBytes);
        offset = (offset + kChunkBytes) % storage.size();
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkBytes));
}
BENCHMARK(twoCopiesThroughFourMiB);

// The native read's own traffic without the device: 256 KiB copied out of a
// 4 MiB buffer at rotating offsets, as a read takes them out of the ring
// (memcpyChunk copies between two buffers that stay in the core's cache).
void memcpyOutOfFourMiB(benchmark::State& state)
{
    std::vector<std::uint8_t> storage(4'194'304, 1);
    std::vector<std::uint8_t> target(kChunkBytes);
    std::size_t offset = 0;
    for (auto _ : state) {
        std::memcpy(target.data(), storage.data() + offset, kChunkBytes);
        offset = (offset + kChunkBytes) % storage.size();
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkBytes));
}
BENCHMARK(memcpyOutOfFourMiB);

// A device on the simulated libhackrf, pumping transfers as fast as they are taken.
std::unique_ptr<HackRfSdrDevice> freeRunningDevice()
{
    const std::filesystem::path script = std::filesystem::temp_directory_path() / "hackrf-receive-bench.script";
    std::ofstream(script) << "board BENCH\nrx-free-run 262144\n";
    const std::filesystem::path library = std::filesystem::path(VELTRANO_SIM_DIRECTORY) / "sim-hackrf.so";
    setenv("BROMELT_HACKRF_LIBRARY", library.c_str(), 1);
    setenv("VELTRANO_SIM_HACKRF_SCRIPT", script.c_str(), 1);
    auto device = std::make_unique<HackRfSdrDevice>("BENCH");
    if (!device->configureRx({100e6, 20e6, 0.0, 20.0}) || !device->startRx()) {
        return nullptr;
    }
    return device;
}

void readSamples(benchmark::State& state)
{
    const std::unique_ptr<HackRfSdrDevice> device = freeRunningDevice();
    if (!device) {
        state.SkipWithError("simulated libhackrf did not stream");
        return;
    }
    std::vector<std::complex<float>> samples(kSamples);
    std::size_t delivered = 0;
    for (auto _ : state) {
        delivered += device->readSamples(samples.data(), samples.size());
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
    state.SetBytesProcessed(static_cast<std::int64_t>(delivered * sizeof(std::complex<float>)));
    state.counters["dropped_bytes"] = static_cast<double>(device->rxDroppedBytes());
}
BENCHMARK(readSamples);

// Beside memcpyChunk/262144: the same 256 KiB per call.
void readNativeSamples(benchmark::State& state)
{
    const std::unique_ptr<HackRfSdrDevice> device = freeRunningDevice();
    if (!device) {
        state.SkipWithError("simulated libhackrf did not stream");
        return;
    }
    std::vector<std::int8_t> bytes(kChunkBytes);
    std::size_t delivered = 0;
    for (auto _ : state) {
        delivered += device->readNativeSamples(bytes.data(), kSamples);
        benchmark::DoNotOptimize(bytes.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
    state.SetBytesProcessed(static_cast<std::int64_t>(delivered * 2));
    state.counters["dropped_bytes"] = static_cast<double>(device->rxDroppedBytes());
}
BENCHMARK(readNativeSamples);

} // namespace

BENCHMARK_MAIN();
