// SPDX-License-Identifier: MIT
// synchronised-start: starts two bladeRF receivers on one trigger line and
// prints the hardware time of each board's first sample. The boards' trigger
// pins (J51-1 on a bladeRF 2.0, J71-4 on a bladeRF1) are wired together; the
// first board drives the line (master), the second follows it (slave).
//
//   synchronised-start 915e6 2e6
//   synchronised-start 915e6 2e6 MASTER_SERIAL SLAVE_SERIAL
#include "ExampleSupport.h"

#include "device/bladerf/BladeRfEnumeration.h"

#include <array>
#include <chrono>
#include <complex>
#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kReadSamples = 4096;

int usage()
{
    std::cerr << "usage: synchronised-start FREQUENCY_HZ SAMPLE_RATE_HZ [MASTER_SERIAL SLAVE_SERIAL]\n"
                 "Arms the receivers of two bladeRF boards on their shared trigger line (the\n"
                 "first two found, or the serials given), fires it from the master and prints\n"
                 "the hardware time of each board's first sample.\n";
    return kUsageStatus;
}

std::array<std::string, 2> chooseSerials(int argc, char** argv)
{
    if (argc == 5) {
        return {argv[3], argv[4]};
    }
    const std::vector<veltrano::BladeRfDeviceSummary> boards = veltrano::enumerateBladeRfDevices();
    if (boards.size() < 2) {
        throw std::runtime_error("two bladeRF boards are needed; " + std::to_string(boards.size()) + " found");
    }
    return {boards[0].serial, boards[1].serial};
}

// Reads until the board delivers its first samples; their time is the tick the line fired at.
std::int64_t firstSampleTimeNs(veltrano::BladeRfSdrDevice& board)
{
    std::vector<std::complex<float>> buffer(kReadSamples);
    const auto started = std::chrono::steady_clock::now();
    // Each read waits a little by itself for samples, so no sleep is needed here.
    while (board.readSamples(buffer.data(), buffer.size()) == 0) {
        if (std::chrono::steady_clock::now() - started > kStallLimit) {
            throw deviceFailure(board, "waiting for the triggered start");
        }
    }
    const std::optional<std::int64_t> time = board.triggeredStartTimeNs();
    if (!time) {
        throw deviceFailure(board, "the triggered start's time");
    }
    return *time;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        return usage();
    }
    try {
        veltrano::StreamConfig config;
        config.frequencyHz = parseNumber(argv[1], "frequency");
        config.sampleRateHz = parseNumber(argv[2], "sample rate");
        const std::array<std::string, 2> serials = chooseSerials(argc, argv);

        veltrano::BladeRfSdrDevice master(serials[0]);
        veltrano::BladeRfSdrDevice slave(serials[1]);
        const std::array<std::pair<veltrano::BladeRfSdrDevice*, veltrano::TriggerRole>, 2> boards{
            {{&master, veltrano::TriggerRole::master}, {&slave, veltrano::TriggerRole::slave}}};
        for (const auto& [board, role] : boards) {
            // "": the board's own trigger pin.
            if (!board->configureRx(config) || !board->setTrigger(veltrano::StreamDirection::rx, role, "") ||
                !board->armTrigger(veltrano::StreamDirection::rx, true)) {
                throw deviceFailure(*board, "arming the receiver");
            }
            // Armed, the stream is set up and waits for the line.
            if (!board->startRx()) {
                throw deviceFailure(*board, "the armed start");
            }
        }
        if (!master.fireTrigger(veltrano::StreamDirection::rx)) {
            throw deviceFailure(master, "firing the trigger");
        }
        std::array<std::int64_t, 2> times{};
        for (std::size_t index = 0; index < boards.size(); ++index) {
            times[index] = firstSampleTimeNs(*boards[index].first);
            std::cout << (index == 0 ? "master " : "slave ") << serials[index] << ": first sample at " << times[index]
                      << " ns\n";
        }
        // Boards on one reference may still start a tick or two apart on real hardware.
        std::cout << "difference: " << times[1] - times[0] << " ns\n";
        master.stopRx();
        slave.stopRx();
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "synchronised-start: " << failure.what() << '\n';
        return 1;
    }
}
