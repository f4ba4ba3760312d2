// SPDX-License-Identifier: MIT
// timed-bursts: schedules short tone bursts at exact times on a bladeRF's
// hardware clock and reports, from the board's own counter, when each left
// (or that it was late, or ran dry).
//
//   timed-bursts 915e6 2e6 10 0.01
#include "ExampleSupport.h"

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <iostream>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBurstSamples = 1000;
constexpr std::int64_t kFirstBurstNs = 100'000'000; // time to queue the first burst before it is due

int usage()
{
    std::cerr << "usage: timed-bursts FREQUENCY_HZ SAMPLE_RATE_HZ BURSTS SPACING_SECONDS\n"
                 "Sets the bladeRF's hardware time to 0, transmits BURSTS tone bursts of "
              << kBurstSamples
              << " samples,\n"
                 "the first at 0.1 s and each SPACING_SECONDS after the one before, and reports\n"
                 "when each left the board.\n";
    return kUsageStatus;
}

const char* outcome(veltrano::TxEvent::Kind kind)
{
    switch (kind) {
    case veltrano::TxEvent::Kind::burstSent:
        return "sent";
    case veltrano::TxEvent::Kind::lateBurst:
        return "late, dropped";
    case veltrano::TxEvent::Kind::underrun:
        return "underrun";
    case veltrano::TxEvent::Kind::eventsLost:
        return "outcomes lost";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        return usage();
    }
    try {
        veltrano::StreamConfig config;
        config.frequencyHz = parseNumber(argv[1], "frequency");
        config.sampleRateHz = parseNumber(argv[2], "sample rate");
        config.gainDb = 0.0;
        const std::uint64_t bursts = parseCount(argv[3], "burst count");
        const double spacingSeconds = parseNumber(argv[4], "spacing");
        if (!(spacingSeconds > 0.0 && spacingSeconds <= 1.0)) {
            throw std::invalid_argument("spacing must lie above 0 and at most 1 second");
        }
        const auto spacingNs = static_cast<std::int64_t>(std::llround(spacingSeconds * 1e9));

        const auto device = openFirstBoard("bladerf");
        if (!device->hasHardwareTime()) {
            throw deviceFailure(*device, "hardware time");
        }
        if (!device->configureTx(config) || !device->startTimedTx()) {
            throw deviceFailure(*device, "timed transmit start");
        }
        // The board's counter runs on; only the clock's zero moves to now.
        if (!device->setHardwareTimeNs(0)) {
            throw deviceFailure(*device, "setting the hardware time");
        }

        std::vector<std::complex<float>> tone(kBurstSamples);
        for (std::size_t k = 0; k < tone.size(); ++k) {
            tone[k] = std::polar(0.5f, static_cast<float>(2.0 * std::numbers::pi * static_cast<double>(k) / 20.0));
        }
        for (std::uint64_t burst = 0; burst < bursts; ++burst) {
            const std::int64_t at = kFirstBurstNs + static_cast<std::int64_t>(burst) * spacingNs;
            // One write per burst: its start time and its end mark.
            if (device->writeBurst(tone.data(), tone.size(), {true, at, true}) != tone.size()) {
                throw deviceFailure(*device, "burst " + std::to_string(burst));
            }
            std::cout << "burst " << burst << " scheduled at " << at << " ns\n";
        }

        // Outcomes come in the order the bursts were written.
        std::uint64_t reported = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        while (reported < bursts) {
            if (const std::optional<veltrano::TxEvent> event = device->nextTxEvent()) {
                std::cout << "burst at " << event->timeNs << " ns: " << outcome(event->kind) << '\n';
                reported += event->kind == veltrano::TxEvent::Kind::underrun ? 0 : 1;
                lastProgress = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastProgress > kStallLimit) {
                throw deviceFailure(*device, "waiting for the bursts");
            } else {
                std::this_thread::sleep_for(kPollInterval);
            }
        }
        device->stopTx();
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "timed-bursts: " << failure.what() << '\n';
        return 1;
    }
}
