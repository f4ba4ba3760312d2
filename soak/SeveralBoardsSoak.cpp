// SPDX-License-Identifier: MIT
// Soak run of several boards at once: opens every HackRF and bladeRF the
// libraries the environment names can see (scripts/soak.sh sets up the
// emulated bus with two HackRF Ones and a bladeRF x40), receives from each
// on a thread of its own for a given time (the bladeRF in full duplex, a
// second thread keeping its transmit stream full), then reports per board
// what arrived, what was lost and what was sent, and the process's resident
// memory at the start and at the end.
//
//   several-soak [seconds] [sample rate in Hz]     (defaults: 60, 5000000)
//
// Every emulated board's stream names its own positions, so each reader
// follows its board's pattern through the native samples: a break that no
// loss counter accounts for, or a stream that ends, makes the exit status 1.
#include "soak/SoakSupport.h"
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "simulators/usb-engine/PatternFollower.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace veltrano;
using sim::usb::PatternFollower;
using sim::usb::ReceivePattern;

// One board, its reader's findings, and what the board counted itself.
struct Board {
    std::string family;
    std::string serial;
    std::unique_ptr<ISdrDevice> device;
    std::function<std::uint64_t()> losses;
    // The emulator's count of what it sent, in samples; nothing off the emulator.
    std::function<std::optional<std::uint64_t>()> sentByBoard;
    PatternFollower follower;
    std::uint64_t samples = 0;
    // Full duplex: what the writer handed over, and the emulator's count of what the board took.
    bool transmits = false;
    std::uint64_t written = 0;
    std::function<std::optional<std::uint64_t>()> takenByBoard = {};
};

std::vector<Board> openEveryBoard()
{
    std::vector<Board> boards;
    for (const HackRfDeviceSummary& summary : enumerateHackRfDevices()) {
        auto device = std::make_unique<HackRfSdrDevice>(summary.serial);
        HackRfSdrDevice* hackRf = device.get();
        boards.push_back({"HackRF", summary.serial, std::move(device), [hackRf] { return hackRf->rxDroppedBytes(); },
                          [serial = summary.serial]() -> std::optional<std::uint64_t> {
                              const auto bytes = soak::boardCount("veltrano_usb_hackrf_rx_bytes_delivered", serial);
                              return bytes ? std::optional<std::uint64_t>(*bytes / 2) : std::nullopt;
                          },
                          PatternFollower(ReceivePattern::hackRf)});
    }
    for (const BladeRfDeviceSummary& summary : enumerateBladeRfDevices()) {
        auto device = std::make_unique<BladeRfSdrDevice>(summary.serial);
        BladeRfSdrDevice* bladeRf = device.get();
        boards.push_back({"bladeRF", summary.serial, std::move(device), [bladeRf] { return bladeRf->rxOverrunCount(); },
                          [serial = summary.serial] {
                              return soak::boardCount("veltrano_usb_bladerf_rx_samples_delivered", serial);
                          },
                          PatternFollower(ReceivePattern::bladeRf)});
        boards.back().transmits = true;
        boards.back().takenByBoard = [serial = summary.serial] {
            return soak::boardCount("veltrano_usb_bladerf_tx_samples", serial);
        };
    }
    return boards;
}

// Reads the board's native samples until the run ends; whole library reads
// of the bladeRF (multiples of its 1024 samples), so that none are dropped.
void readUntilStopped(Board& board, const std::atomic<bool>& running)
{
    constexpr std::size_t kReadSamples = 65536;
    std::vector<std::uint8_t> buffer(kReadSamples * nativeSampleBytes(board.device->nativeSampleFormat()));
    const std::size_t sampleBytes = nativeSampleBytes(board.device->nativeSampleFormat());
    while (running.load() && board.device->lastError().empty()) {
        const std::size_t count = board.device->readNativeSamples(buffer.data(), kReadSamples);
        board.follower.take(buffer.data(), count * sampleBytes);
        board.samples += count;
    }
}

// Writes native samples until the run ends, as fast as the board takes them.
void writeUntilStopped(Board& board, const std::atomic<bool>& running)
{
    constexpr std::size_t kWriteSamples = 65536;
    const std::vector<std::int16_t> values(2 * kWriteSamples, 1000);
    while (running.load() && board.device->lastError().empty()) {
        board.written += board.device->writeNativeSamples(values.data(), kWriteSamples);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double sampleRateHz = argc > 2 ? std::atof(argv[2]) : 5e6;
    const std::uint64_t residentAtStart = soak::residentKiB();

    std::vector<Board> boards;
    try {
        boards = openEveryBoard();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "several-soak: %s\n", error.what());
        return 2;
    }
    if (boards.size() < 2) {
        std::fprintf(stderr, "several-soak: %zu boards found, at least two needed\n", boards.size());
        return 2;
    }
    for (Board& board : boards) {
        const bool hackRf = board.family == "HackRF";
        const StreamConfig config{hackRf ? 100e6 : 915e6, sampleRateHz, hackRf ? 1.75e6 : 0.0, 20.0};
        // The transmit stream starts after the receive stream, so that both carry timestamps.
        if (!board.device->setFullDuplex(board.transmits) || !board.device->configureRx(config) ||
            !board.device->startRx() ||
            (board.transmits && !(board.device->configureTx(config) && board.device->startTx()))) {
            std::fprintf(stderr, "several-soak: %s %s cannot start streaming: %s\n", board.family.c_str(),
                         board.serial.c_str(), board.device->lastError().c_str());
            return 2;
        }
    }

    std::atomic<bool> running{true};
    std::vector<std::thread> readers;
    for (Board& board : boards) {
        readers.emplace_back([&board, &running] { readUntilStopped(board, running); });
        if (board.transmits) {
            readers.emplace_back([&board, &running] { writeUntilStopped(board, running); });
        }
    }
    std::vector<std::thread*> threads;
    for (std::thread& reader : readers) {
        threads.push_back(&reader);
    }
    const std::uint64_t residentStreaming = soak::runThenJoin(seconds, running, threads);
    const std::uint64_t residentBeforeStop = soak::residentKiB();
    for (Board& board : boards) {
        board.device->stopTx();
        board.device->stopRx();
    }
    const std::uint64_t residentAtEnd = soak::residentKiB();

    bool whole = true;
    std::printf("duration                 %.0f s at %.0f samples/s on each of %zu boards\n", seconds, sampleRateHz,
                boards.size());
    for (const Board& board : boards) {
        const std::uint64_t losses = board.losses();
        const std::string error = board.device->lastError();
        std::printf("%-7s %s  %llu samples, %llu sent by the board, %llu breaks, %llu counted losses%s%s\n",
                    board.family.c_str(), board.serial.c_str(), static_cast<unsigned long long>(board.samples),
                    static_cast<unsigned long long>(board.sentByBoard().value_or(0)),
                    static_cast<unsigned long long>(board.follower.breaks()), static_cast<unsigned long long>(losses),
                    error.empty() ? "" : ", ended: ", error.c_str());
        if (board.transmits) {
            std::printf("%-7s %s  transmitting beside it: %llu samples written, %llu taken by the board\n",
                        board.family.c_str(), board.serial.c_str(), static_cast<unsigned long long>(board.written),
                        static_cast<unsigned long long>(board.takenByBoard().value_or(0)));
        }
        whole = whole && error.empty() && (board.follower.breaks() == 0 || losses > 0) &&
                (!board.transmits || board.written > 0);
    }
    std::printf(
        "resident memory          %llu KiB before opening, %llu KiB after a second of streaming, %llu KiB before the "
        "stop, %llu KiB after it\n",
        static_cast<unsigned long long>(residentAtStart), static_cast<unsigned long long>(residentStreaming),
        static_cast<unsigned long long>(residentBeforeStop), static_cast<unsigned long long>(residentAtEnd));
    return whole ? 0 : 1;
}
