// SPDX-License-Identifier: MIT
// sweeper: lets the board sweep a frequency range by itself (HackRF native
// sweep) and prints one CSV row per block it delivers: the tuned centre
// frequency, the parts of the block inside the requested range, and the
// block's mean power in dB relative to full scale.
//
//   sweeper hackrf 2400e6 2500e6 100
#include "ExampleSupport.h"

#include <chrono>
#include <cmath>
#include <complex>
#include <iomanip>
#include <iostream>
#include <thread>

namespace {

int usage()
{
    std::cerr << "usage: sweeper hackrf|bladerf START_HZ STOP_HZ BLOCKS [SAMPLE_RATE_HZ]\n"
                 "Sweeps START_HZ..STOP_HZ with the board's own sweep (default step 20 MHz) and\n"
                 "prints BLOCKS rows: center_hz,valid_ranges_hz,power_dbfs. Ranges read lo-hi;lo-hi.\n";
    return kUsageStatus;
}

double meanPowerDb(const veltrano::NativeSweepBlock& block)
{
    double energy = 0.0;
    for (const std::complex<float> sample : block.samples) {
        energy += std::norm(sample);
    }
    return 10.0 * std::log10(energy / static_cast<double>(block.samples.size()));
}

void printRow(const veltrano::NativeSweepBlock& block)
{
    std::cout << block.centerFrequencyHz << ',';
    const char* separator = "";
    for (const veltrano::FrequencyRangeHz& range : block.validRanges) {
        std::cout << separator << range.minimumHz << '-' << range.maximumHz;
        separator = ";";
    }
    std::cout << ',' << std::setprecision(2) << meanPowerDb(block) << std::setprecision(0) << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        return usage();
    }
    try {
        const double startHz = parseNumber(argv[2], "start frequency");
        const double stopHz = parseNumber(argv[3], "stop frequency");
        const std::uint64_t wanted = parseCount(argv[4], "block count");
        veltrano::StreamConfig config;
        config.sampleRateHz = argc == 6 ? parseNumber(argv[5], "sample rate") : 20e6;
        config.gainDb = 20.0;

        const auto device = openFirstBoard(argv[1]);
        if (!device->supportsNativeSweep()) {
            throw std::runtime_error("this board (or its library) cannot sweep by itself");
        }
        if (!device->configureNativeSweep(config, startHz, stopHz)) {
            throw deviceFailure(*device, "sweep configuration");
        }
        if (!device->startNativeSweep()) {
            throw deviceFailure(*device, "sweep start");
        }

        // Frequencies as whole Hz, powers with two decimals.
        std::cout << std::fixed << std::setprecision(0) << "center_hz,valid_ranges_hz,power_dbfs\n";
        veltrano::NativeSweepBlock block; // reused: a read overwrites every field
        auto lastBlock = std::chrono::steady_clock::now();
        for (std::uint64_t printed = 0; printed < wanted;) {
            // The read never waits: poll, and give up on a sweep that went quiet.
            if (!device->readNativeSweepBlock(block)) {
                if (std::chrono::steady_clock::now() - lastBlock > kStallLimit) {
                    throw deviceFailure(*device, "sweep stream");
                }
                std::this_thread::sleep_for(kPollInterval);
                continue;
            }
            lastBlock = std::chrono::steady_clock::now();
            printRow(block);
            ++printed;
        }
        device->stopRx(); // ends the sweep too

        // Blocks the queue had no room for while this program was printing.
        if (const auto* hackrf = dynamic_cast<const veltrano::HackRfSdrDevice*>(device.get())) {
            std::cerr << "dropped blocks: " << hackrf->sweepDroppedBlocks() << '\n';
        }
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "sweeper: " << failure.what() << '\n';
        return 1;
    }
}
