// SPDX-License-Identifier: MIT
// Opens the first HackRF, receives a million samples at 100 MHz and prints their mean power.
#include "device/hackrf/HackRfSdrDevice.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <stdexcept>
#include <vector>

int main()
try {
    veltrano::HackRfSdrDevice board(""); // "" opens the first board; throws when there is none
    const veltrano::StreamConfig config{.frequencyHz = 100e6, .sampleRateHz = 10e6, .gainDb = 20};
    std::vector<std::complex<float>> samples(1'000'000);
    std::size_t received = 0;
    if (board.configureRx(config) && board.startRx()) {
        while (received < samples.size() && board.lastError().empty()) { // an error: the stream died
            received += board.readSamples(samples.data() + received, samples.size() - received);
        }
    }
    if (received < samples.size()) {
        throw std::runtime_error(board.lastError());
    }
    double energy = 0.0;
    for (const std::complex<float>& sample : samples) {
        energy += std::norm(sample);
    }
    std::printf("%zu samples, mean power %.1f dBFS\n", received, 10.0 * std::log10(energy / received));
} catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
}
