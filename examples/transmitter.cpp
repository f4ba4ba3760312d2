// SPDX-License-Identifier: MIT
// transmitter: sends a tone from the first board of a family, waits until
// the last sample has left the board before it stops, and reports underruns.
//
//   transmitter hackrf 433.92e6 2e6 100e3 2e6
#include "ExampleSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <iostream>
#include <numbers>
#include <stop_token>
#include <thread>
#include <vector>

namespace {

constexpr float kAmplitude = 0.5f; // half of full scale leaves the converter headroom

int usage()
{
    std::cerr << "usage: transmitter hackrf|bladerf FREQUENCY_HZ SAMPLE_RATE_HZ TONE_OFFSET_HZ SAMPLES\n"
                 "Transmits SAMPLES samples of a tone TONE_OFFSET_HZ away from FREQUENCY_HZ,\n"
                 "then waits until they have left the board.\n";
    return kUsageStatus;
}

// Fills the block with the next stretch of the tone; the phase carries over.
void nextTone(std::vector<std::complex<float>>& block, double& phase, double step)
{
    for (std::complex<float>& sample : block) {
        sample = std::polar(kAmplitude, static_cast<float>(phase));
        phase = std::remainder(phase + step, 2.0 * std::numbers::pi);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        return usage();
    }
    try {
        veltrano::StreamConfig config;
        config.frequencyHz = parseNumber(argv[2], "frequency");
        config.sampleRateHz = parseNumber(argv[3], "sample rate");
        config.bandwidthHz = config.sampleRateHz * 0.75; // the filter passes the tone, not the images
        config.gainDb = 0.0;                             // start quiet; raise it once the setup is known
        const double toneHz = parseNumber(argv[4], "tone offset");
        const std::uint64_t total = parseCount(argv[5], "sample count");

        const auto device = openFirstBoard(argv[1]);
        if (!device->configureTx(config)) {
            throw deviceFailure(*device, "transmit configuration");
        }
        if (!device->startTx()) {
            throw deviceFailure(*device, "transmit start");
        }

        std::vector<std::complex<float>> block(16384);
        double phase = 0.0;
        const double step = 2.0 * std::numbers::pi * toneHz / config.sampleRateHz;
        std::uint64_t sent = 0;
        while (sent < total) {
            block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), total - sent)));
            nextTone(block, phase, step);
            // writeSamples may take part of a block when the device's queue is
            // full: offer the rest again until all of it went in.
            auto lastProgress = std::chrono::steady_clock::now();
            for (std::size_t offset = 0; offset < block.size();) {
                const std::size_t taken = device->writeSamples(block.data() + offset, block.size() - offset);
                if (taken > 0) {
                    offset += taken;
                    lastProgress = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - lastProgress > kStallLimit) {
                    throw deviceFailure(*device, "transmit stream");
                } else {
                    std::this_thread::sleep_for(kPollInterval);
                }
            }
            sent += block.size();
        }

        // No one asks this program to stop early, so the token never fires.
        if (!device->drainTx(std::stop_token{})) {
            throw deviceFailure(*device, "transmit drain");
        }
        device->stopTx();

        std::cout << "sent " << sent << " samples\n";
        // Silence the HackRF sent because this program fell behind the board.
        if (const auto* hackrf = dynamic_cast<const veltrano::HackRfSdrDevice*>(device.get())) {
            std::cout << "underrun bytes: " << hackrf->txUnderrunBytes() << '\n';
        }
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "transmitter: " << failure.what() << '\n';
        return 1;
    }
}
