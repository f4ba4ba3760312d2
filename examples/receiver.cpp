// SPDX-License-Identifier: MIT
// receiver: streams a number of samples from the first board of a family into
// a raw file of complex floats (I then Q, 32-bit native floats), then reports
// what the stream lost on the way.
//
//   receiver hackrf 100e6 10e6 1e6 capture.cf32
#include "ExampleSupport.h"

#include <algorithm>
#include <chrono>
#include <complex>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

int usage()
{
    std::cerr << "usage: receiver hackrf|bladerf FREQUENCY_HZ SAMPLE_RATE_HZ SAMPLES OUTPUT_FILE\n"
                 "Streams SAMPLES complex samples from the first board of the family, tuned to\n"
                 "FREQUENCY_HZ, into OUTPUT_FILE as interleaved 32-bit floats (I, Q).\n";
    return kUsageStatus;
}

// What the backend counted as lost: the HackRF ring drops bytes when this
// reader falls behind the board, the bladeRF library reports overruns.
void reportLosses(const veltrano::ISdrDevice& device)
{
    if (const auto* hackrf = dynamic_cast<const veltrano::HackRfSdrDevice*>(&device)) {
        std::cout << "dropped bytes: " << hackrf->rxDroppedBytes() << '\n';
    } else if (const auto* bladerf = dynamic_cast<const veltrano::BladeRfSdrDevice*>(&device)) {
        std::cout << "overruns: " << bladerf->rxOverrunCount() << '\n';
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
        config.gainDb = 20.0; // a moderate gain; bandwidth 0 lets the backend choose
        const std::uint64_t wanted = parseCount(argv[4], "sample count");

        const auto device = openFirstBoard(argv[1]);
        std::ofstream output(argv[5], std::ios::binary | std::ios::trunc);
        if (!output) {
            throw std::runtime_error(std::string("cannot create ") + argv[5]);
        }
        if (!device->configureRx(config)) {
            throw deviceFailure(*device, "receive configuration");
        }
        if (!device->startRx()) {
            throw deviceFailure(*device, "receive start");
        }

        std::vector<std::complex<float>> buffer(16384);
        std::uint64_t received = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        while (received < wanted) {
            // readSamples waits a little for data by itself, so no sleep is needed here.
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), wanted - received));
            const std::size_t got = device->readSamples(buffer.data(), count);
            if (got > 0) {
                output.write(reinterpret_cast<const char*>(buffer.data()),
                             static_cast<std::streamsize>(got * sizeof(buffer[0])));
                received += got;
                lastProgress = std::chrono::steady_clock::now();
            } else if (!device->lastError().empty() || std::chrono::steady_clock::now() - lastProgress > kStallLimit) {
                // A stream that died says why; a silent one gets a few seconds.
                throw deviceFailure(*device, "receive stream");
            }
        }
        device->stopRx();

        if (!output.flush()) {
            throw std::runtime_error(std::string("cannot write ") + argv[5]);
        }
        std::cout << "received " << received << " samples at " << device->actualRxSampleRateHz() << " Hz\n";
        reportLosses(*device);
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "receiver: " << failure.what() << '\n';
        return 1;
    }
}
