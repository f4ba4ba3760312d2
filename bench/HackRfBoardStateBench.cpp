// SPDX-License-Identifier: MIT
// What reading the board's shortfall counts costs a receiving HackRF: the
// device layer's readSamples on a running stream (whose watcher thread asks
// the board at most every 20 ms while transfers arrive) beside a bare hackrf_get_m0_state
// and a memcpy of one 256 KiB transfer, all through Debian's real libhackrf
// on the USB-level emulated board, in the same run.
//
//   build/bin/hackrf-board-state-bench --benchmark_min_time=0.5
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* kSerial = "0000000000000000457863c82b6e2e5f";

void useRealLibrary()
{
    setenv("BROMELT_HACKRF_LIBRARY", "/usr/lib/x86_64-linux-gnu/libhackrf.so.0", 1);
}

void bareBoardState(benchmark::State& state)
{
    useRealLibrary();
    const auto& api = veltrano::hackRfApi();
    hackrf_device* device = nullptr;
    if (api.getM0State == nullptr || api.openBySerial(kSerial, &device) != HACKRF_SUCCESS) {
        state.SkipWithError("no libhackrf with hackrf_get_m0_state, or no emulated board");
        return;
    }
    hackrf_m0_state m0{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(api.getM0State(device, &m0));
    }
    api.close(device);
}
BENCHMARK(bareBoardState);

// A read of 65,536 samples on a 10 MS/s stream: the poll's share is what
// this costs beyond the copy below.
void receiveWithBoardPolls(benchmark::State& state)
{
    useRealLibrary();
    veltrano::HackRfSdrDevice device(kSerial);
    if (!device.configureRx({100e6, 10e6, 0.0, 20.0}) || !device.startRx()) {
        state.SkipWithError(device.lastError().c_str());
        return;
    }
    std::vector<std::uint8_t> bytes(131072);
    std::size_t samples = 0;
    for (auto _ : state) {
        samples += device.readNativeSamples(bytes.data(), bytes.size() / 2);
    }
    state.counters["board_shortfalls"] = static_cast<double>(device.rxBoardShortfalls().value_or(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(2 * samples));
    device.stopRx();
}
BENCHMARK(receiveWithBoardPolls)->UseRealTime();

void memcpyOfOneTransfer(benchmark::State& state)
{
    std::vector<std::uint8_t> from(262144, 1);
    std::vector<std::uint8_t> to(262144);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 262144);
}
BENCHMARK(memcpyOfOneTransfer);

} // namespace

BENCHMARK_MAIN();
