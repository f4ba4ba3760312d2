// SPDX-License-Identifier: MIT
// Soak run of bladeRF receive: streams from whatever libbladeRF the
// environment names (scripts/soak.sh sets up the emulated board) for a given
// time, with a reader thread and a controller thread that hops between two
// prepared frequencies every 250 ms through the quick-retune path, then
// reports what arrived, what was lost and the process's resident memory at
// the start and at the end.
//
//   bladerf-soak [seconds] [sample rate in Hz]     (defaults: 60, 10000000)
//
// Every sample of the emulated board names its device timestamp (modulo
// 2^24), so the reader checks that each read's samples follow one another. A
// gap inside a read, or a failed quick retune, makes the exit status 1.
#include "soak/SoakSupport.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace veltrano;

std::uint64_t timestampOf(std::complex<float> sample)
{
    const auto i = static_cast<std::int64_t>(std::lround(sample.real() * 2048.0f)) + 2048;
    const auto q = static_cast<std::int64_t>(std::lround(sample.imag() * 2048.0f)) + 2048;
    return static_cast<std::uint64_t>(i + 4096 * q);
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double sampleRateHz = argc > 2 ? std::atof(argv[2]) : 10e6;
    const std::uint64_t residentAtStart = soak::residentKiB();
    const double hops[2] = {433.92e6, 868.3e6};

    BladeRfSdrDevice device("");
    if (!device.configureRx({hops[0], sampleRateHz, 0.0, 20.0}) || !device.prepareRxFrequencies({hops[0], hops[1]}) ||
        !device.startRx()) {
        std::fprintf(stderr, "bladerf-soak: cannot start receiving\n");
        return 2;
    }

    std::atomic<bool> running{true};
    std::uint64_t samples = 0;
    std::uint64_t gaps = 0;
    std::thread reader([&] {
        std::vector<std::complex<float>> buffer(65536);
        while (running.load()) {
            const std::size_t count = device.readSamples(buffer.data(), buffer.size());
            for (std::size_t i = 1; i < count; ++i) {
                gaps += (timestampOf(buffer[i]) - timestampOf(buffer[i - 1])) % (1u << 24) != 1 ? 1 : 0;
            }
            samples += count;
        }
    });
    std::thread controller([&] {
        for (std::uint64_t hop = 1; running.load(); ++hop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            device.setRxFrequency(hops[hop % 2]);
        }
    });

    const std::uint64_t residentStreaming = soak::runThenJoin(seconds, running, controller, reader);
    const std::uint64_t residentBeforeStop = soak::residentKiB();
    device.stopRx();
    const std::uint64_t residentAtEnd = soak::residentKiB();

    std::printf("duration                 %.0f s at %.0f samples/s\n", seconds, sampleRateHz);
    std::printf("samples delivered        %llu\n", static_cast<unsigned long long>(samples));
    if (const auto board = soak::boardCount("veltrano_usb_bladerf_rx_samples_delivered", "")) {
        std::printf("samples sent by board    %llu\n", static_cast<unsigned long long>(*board));
    }
    std::printf("retunes                  %llu quick, %llu regular, %llu quick ones failed\n",
                static_cast<unsigned long long>(device.fastRxRetuneCount()),
                static_cast<unsigned long long>(device.regularRxRetuneCount()),
                static_cast<unsigned long long>(device.failedFastRxRetuneCount()));
    std::printf("overruns                 %llu (rxOverrunCount)\n",
                static_cast<unsigned long long>(device.rxOverrunCount()));
    std::printf("gaps inside a read       %llu\n", static_cast<unsigned long long>(gaps));
    std::printf(
        "resident memory          %llu KiB before opening, %llu KiB after a second of streaming, %llu KiB before the "
        "stop, %llu KiB after it\n",
        static_cast<unsigned long long>(residentAtStart), static_cast<unsigned long long>(residentStreaming),
        static_cast<unsigned long long>(residentBeforeStop), static_cast<unsigned long long>(residentAtEnd));
    return gaps == 0 && device.failedFastRxRetuneCount() == 0 ? 0 : 1;
}
