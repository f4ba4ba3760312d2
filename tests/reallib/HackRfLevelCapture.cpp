// SPDX-License-Identifier: MIT
// Drives one libhackrf, loaded by path, through one short stream and writes
// what it delivered: the settings' results as one line on standard error,
// the stream's first bytes on standard output. A process of its own per run,
// so that every board (simulated or emulated) starts from power-on.
//
//   hackrf-level-capture <library> <serial> rx|sweep <rate Hz> <LNA dB> <VGA dB> <amp> <frequency Hz> <bytes>
#include <libhackrf/hackrf.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void* library = nullptr;

template <typename Function>
Function entry(const char* name)
{
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<Function>(symbol);
}

struct Capture {
    std::vector<std::uint8_t> bytes;
    std::size_t filled = 0;
    std::atomic<bool> full{false};
};

// Keeps the transfers' valid bytes until the capture is full, then ends the stream.
int keep(hackrf_transfer* transfer)
{
    auto& capture = *static_cast<Capture*>(transfer->rx_ctx);
    const std::size_t count =
        std::min(capture.bytes.size() - capture.filled, static_cast<std::size_t>(transfer->valid_length));
    std::memcpy(capture.bytes.data() + capture.filled, transfer->buffer, count);
    capture.filled += count;
    if (capture.filled < capture.bytes.size()) {
        return 0;
    }
    capture.full.store(true);
    capture.full.notify_one();
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 10) {
        std::fprintf(stderr, "usage: %s <library> <serial> rx|sweep <rate> <lna> <vga> <amp> <frequency> <bytes>\n",
                     argv[0]);
        return 2;
    }
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    const bool sweep = std::string(argv[3]) == "sweep";
    const double rateHz = std::strtod(argv[4], nullptr);
    Capture capture;
    capture.bytes.resize(std::strtoull(argv[9], nullptr, 10));

    hackrf_device* device = nullptr;
    if (entry<int (*)()>("hackrf_init")() != HACKRF_SUCCESS ||
        entry<int (*)(const char*, hackrf_device**)>("hackrf_open_by_serial")(argv[2], &device) != HACKRF_SUCCESS) {
        std::fprintf(stderr, "no board\n");
        return 2;
    }
    // Each setting's result, and the filter the library picks for the rate.
    const int results[] = {
        entry<int (*)(hackrf_device*, double)>("hackrf_set_sample_rate")(device, rateHz),
        entry<int (*)(hackrf_device*, std::uint32_t)>("hackrf_set_lna_gain")(
            device, static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10))),
        entry<int (*)(hackrf_device*, std::uint32_t)>("hackrf_set_vga_gain")(
            device, static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10))),
        entry<int (*)(hackrf_device*, std::uint8_t)>("hackrf_set_amp_enable")(
            device, static_cast<std::uint8_t>(std::strtoul(argv[7], nullptr, 10))),
        entry<int (*)(hackrf_device*, std::uint64_t)>("hackrf_set_freq")(device, std::strtoull(argv[8], nullptr, 10)),
        static_cast<int>(entry<std::uint32_t (*)(std::uint32_t)>("hackrf_compute_baseband_filter_bw")(
            static_cast<std::uint32_t>(0.75 * rateHz))),
    };
    for (const int result : results) {
        std::fprintf(stderr, "%d ", result);
    }

    int started = 0;
    if (sweep) {
        // Two ranges, 20 MHz steps, interleaved as the sweep tool asks.
        const std::uint16_t ranges[] = {88, 108, 2400, 2440};
        started = entry<int (*)(hackrf_device*, const std::uint16_t*, int, std::uint32_t, std::uint32_t, std::uint32_t,
                                enum sweep_style)>("hackrf_init_sweep")(device, ranges, 2, 16384, 20'000'000, 7'500'000,
                                                                        INTERLEAVED);
        if (started == HACKRF_SUCCESS) {
            started = entry<int (*)(hackrf_device*, hackrf_sample_block_cb_fn, void*)>("hackrf_start_rx_sweep")(
                device, keep, &capture);
        }
    } else {
        started =
            entry<int (*)(hackrf_device*, hackrf_sample_block_cb_fn, void*)>("hackrf_start_rx")(device, keep, &capture);
    }
    std::fprintf(stderr, "%d\n", started);
    if (started == HACKRF_SUCCESS) {
        capture.full.wait(false);
        entry<int (*)(hackrf_device*)>("hackrf_stop_rx")(device);
    }
    entry<int (*)(hackrf_device*)>("hackrf_close")(device);
    entry<int (*)()>("hackrf_exit")();
    std::fwrite(capture.bytes.data(), 1, capture.filled, stdout);
    return 0;
}
