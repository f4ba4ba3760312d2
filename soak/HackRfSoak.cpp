// SPDX-License-Identifier: MIT
// Soak run of HackRF receive: streams from whatever libhackrf the environment
// names (scripts/soak.sh sets up the emulated board or the simulated library)
// for a given time, with a reader thread and a controller thread that retunes
// every 250 ms, then reports what arrived, what was lost and where, and the
// process's resident memory at the start and at the end. With a seed, the
// emulated board is also unplugged and replugged at random moments.
//
//   hackrf-soak [seconds] [sample rate in Hz] [fault seed]    (defaults: 60, 20000000, no faults)
//
// The board's stream carries its own position (each 4-byte word holds its
// index), so the reader checks every byte: a jump forward is a loss (the ring
// was full, or a retune discarded data), a jump back is a reordering, which
// must never happen. Exit status 1 when one did.
#include "soak/SoakSupport.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace veltrano;

std::uint8_t patternByte(std::uint64_t position)
{
    return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}

// Follows the stream's position through everything the reader receives. The
// bytes are runs of the pattern, each starting at a word boundary of the
// stream; a run's first bytes may happen to continue the previous run, so at
// a mismatch the new run's start is searched a few bytes back: the place from
// which the bytes read as the pattern at the position their first word names.
class StreamChecker {
public:
    void take(const std::uint8_t* bytes, std::size_t count)
    {
        pending_.insert(pending_.end(), bytes, bytes + count);
        for (;;) {
            if (!synchronised_) {
                if (pending_.size() - cursor_ < kLookAhead) {
                    break;
                }
                position_ = firstPosition_ = 4 * std::uint64_t{wordAt(cursor_)};
                runStart_ = cursor_;
                synchronised_ = true;
            }
            while (cursor_ < pending_.size() && pending_[cursor_] == patternByte(position_)) {
                ++cursor_;
                ++position_;
            }
            if (cursor_ + kLookAhead > pending_.size()) {
                break; // need more bytes to tell a new run from a coincidence
            }
            resynchronise();
        }
        // Keep a few bytes behind the cursor for the look-back.
        const std::size_t keep = std::min<std::size_t>(cursor_ - runStart_, 8);
        const std::size_t drop = cursor_ - keep;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(drop));
        cursor_ -= drop;
        runStart_ = runStart_ > drop ? runStart_ - drop : 0;
    }

    std::uint64_t jumps() const { return jumps_; }
    std::uint64_t skippedBytes() const { return skippedBytes_; }
    std::uint64_t reorderings() const { return reorderings_; }
    std::uint64_t unreadable() const { return unreadable_; }

private:
    static constexpr std::size_t kLookAhead = 16;

    std::uint32_t wordAt(std::size_t at) const
    {
        return pending_[at] | pending_[at + 1] << 8 | pending_[at + 2] << 16 |
               static_cast<std::uint32_t>(pending_[at + 3]) << 24;
    }

    // Words count modulo 2^32: the position nearest the expected one.
    std::uint64_t unwrap(std::uint32_t word) const
    {
        std::uint64_t index = (position_ / 4 & ~std::uint64_t{0xffffffff}) | word;
        if (index + 0x80000000ull < position_ / 4) {
            index += 0x100000000ull;
        }
        return 4 * index;
    }

    bool runStartsAt(std::size_t at, std::uint64_t& resumed) const
    {
        resumed = unwrap(wordAt(at));
        for (std::size_t i = 0; i < kLookAhead - 4; ++i) {
            if (pending_[at + i] != patternByte(resumed + i)) {
                return false;
            }
        }
        return true;
    }

    void resynchronise()
    {
        const std::size_t lowest = std::max(runStart_ + 1, cursor_ >= 6 ? cursor_ - 6 : 0);
        for (std::size_t at = lowest; at <= cursor_; ++at) {
            std::uint64_t resumed = 0;
            if (runStartsAt(at, resumed)) {
                const std::uint64_t expected = position_ - (cursor_ - at);
                if (resumed > expected) {
                    ++jumps_;
                    skippedBytes_ += resumed - expected;
                } else {
                    ++reorderings_;
                }
                position_ = resumed;
                cursor_ = runStart_ = at;
                return;
            }
        }
        // Bytes that are no run of the pattern at all.
        ++unreadable_;
        synchronised_ = false;
        ++cursor_;
    }

    std::vector<std::uint8_t> pending_;
    std::size_t cursor_ = 0;
    std::size_t runStart_ = 0;
    bool synchronised_ = false;
    std::uint64_t position_ = 0;
    std::uint64_t firstPosition_ = 0;
    std::uint64_t jumps_ = 0;
    std::uint64_t skippedBytes_ = 0;
    std::uint64_t reorderings_ = 0;
    std::uint64_t unreadable_ = 0;
};

int runSoak(double seconds, double sampleRateHz)
{
    const std::uint64_t residentAtStart = soak::residentKiB();

    HackRfSdrDevice device("");
    if (!device.configureRx({100e6, sampleRateHz, sampleRateHz, 20.0}) || !device.startRx()) {
        std::fprintf(stderr, "hackrf-soak: cannot start receiving: %s\n", device.lastError().c_str());
        return 2;
    }

    std::atomic<bool> running{true};
    std::uint64_t samples = 0;
    StreamChecker checker;
    std::thread reader([&] {
        std::vector<std::complex<float>> buffer(65536);
        std::vector<std::uint8_t> bytes;
        while (running.load()) {
            const std::size_t count = device.readSamples(buffer.data(), buffer.size());
            bytes.resize(2 * count);
            for (std::size_t i = 0; i < count; ++i) {
                bytes[2 * i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(buffer[i].real() * 128.0f));
                bytes[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::int8_t>(buffer[i].imag() * 128.0f));
            }
            checker.take(bytes.data(), bytes.size());
            samples += count;
        }
    });
    std::uint64_t retunes = 0;
    std::thread controller([&] {
        while (running.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            retunes += device.setRxFrequency(retunes % 2 == 0 ? 101e6 : 100e6) ? 1 : 0;
        }
    });

    const std::uint64_t residentStreaming = soak::runThenJoin(seconds, running, controller, reader);
    const std::uint64_t dropped = device.rxDroppedBytes();
    const std::uint64_t residentBeforeStop = soak::residentKiB();
    device.stopRx();
    const std::optional<std::uint64_t> boardBytes = soak::boardCount("veltrano_usb_hackrf_rx_bytes_delivered", "");
    const std::uint64_t residentAtEnd = soak::residentKiB();

    std::printf("duration                 %.0f s at %.0f samples/s\n", seconds, sampleRateHz);
    std::printf("samples delivered        %llu\n", static_cast<unsigned long long>(samples));
    if (boardBytes) {
        std::printf("samples sent by board    %llu\n", static_cast<unsigned long long>(*boardBytes / 2));
    }
    std::printf("retunes                  %llu (each discards 1310720 bytes)\n",
                static_cast<unsigned long long>(retunes));
    std::printf("bytes dropped, ring full %llu (rxDroppedBytes)\n", static_cast<unsigned long long>(dropped));
    std::printf("jumps forward            %llu, %llu bytes skipped in all\n",
                static_cast<unsigned long long>(checker.jumps()),
                static_cast<unsigned long long>(checker.skippedBytes()));
    std::printf("reorderings              %llu (bytes that are no run of the pattern: %llu)\n",
                static_cast<unsigned long long>(checker.reorderings()),
                static_cast<unsigned long long>(checker.unreadable()));
    std::printf(
        "resident memory          %llu KiB before opening, %llu KiB after a second of streaming, %llu KiB before the "
        "stop, %llu KiB after it\n",
        static_cast<unsigned long long>(residentAtStart), static_cast<unsigned long long>(residentStreaming),
        static_cast<unsigned long long>(residentBeforeStop), static_cast<unsigned long long>(residentAtEnd));
    return checker.reorderings() == 0 && checker.unreadable() == 0 ? 0 : 1;
}

// The longest time each kind of call took.
class CallDurations {
public:
    template <typename F>
    auto timed(const char* name, F call)
    {
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        const auto took = std::chrono::steady_clock::now() - start;
        const std::lock_guard lock(mutex_);
        auto& longest = longest_[name];
        longest = std::max(longest, took);
        return result;
    }
    void print() const
    {
        for (const auto& [name, longest] : longest_) {
            std::printf("longest %-17s %lld ms\n", name.c_str(),
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
        }
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::chrono::steady_clock::duration> longest_;
};

// Fault soak: a reader and a controller work the board while a third thread
// unplugs and replugs it at random moments (seeded, so a run can be repeated).
// The reader recovers as a client would: stop, then configure (which reopens
// the board), then start; a device that stayed closed is made again. The
// controller retunes meanwhile and pauses while the reader recovers, since
// configuration and retuning are not made to run at once.
int runFaultSoak(double seconds, double sampleRateHz, std::uint32_t seed)
{
    using Clock = std::chrono::steady_clock;
    std::printf("seed                     %u\n", seed);
    const StreamConfig config{100e6, sampleRateHz, sampleRateHz, 20.0};
    CallDurations durations;
    std::mutex deviceMutex; // the client's own: recovery versus retuning
    std::unique_ptr<HackRfSdrDevice> device;
    const auto startStreaming = [&] {
        if (!device) {
            try {
                device = durations.timed("construct", [] { return std::make_unique<HackRfSdrDevice>(""); });
            } catch (const std::exception&) {
                return false;
            }
        }
        if (durations.timed("configureRx", [&] { return device->configureRx(config); })) {
            return durations.timed("startRx", [&] { return device->startRx(); });
        }
        if (!device->supportsRxAmplifier()) { // closed after a failed reopen: make it again
            durations.timed("destroy", [&] {
                device.reset();
                return 0;
            });
        }
        return false;
    };
    if (!startStreaming()) {
        std::fprintf(stderr, "hackrf-soak: cannot start receiving\n");
        return 2;
    }
    // Resolved once libhackrf, and the libusb it runs on, are loaded.
    const auto unplug = soak::boardEntry<void (*)(const char*)>("veltrano_usb_hackrf_unplug");
    const auto replug = soak::boardEntry<void (*)(const char*)>("veltrano_usb_hackrf_replug");
    if (unplug == nullptr || replug == nullptr) {
        std::fprintf(stderr, "hackrf-soak: the fault mode needs the emulated board (scripts/soak.sh fault)\n");
        return 2;
    }
    const std::uint64_t residentAtStart = soak::residentKiB();

    std::atomic<bool> running{true};
    std::uint64_t samples = 0;
    std::uint64_t recoveries = 0;
    std::uint64_t reorderings = 0;
    std::uint64_t unreadable = 0;
    std::thread reader([&] {
        std::vector<std::complex<float>> buffer(65536);
        std::vector<std::uint8_t> bytes;
        auto checker = std::make_unique<StreamChecker>();
        while (running.load()) {
            const std::size_t count =
                durations.timed("readSamples", [&] { return device->readSamples(buffer.data(), buffer.size()); });
            bytes.resize(2 * count);
            for (std::size_t i = 0; i < count; ++i) {
                bytes[2 * i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(buffer[i].real() * 128.0f));
                bytes[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::int8_t>(buffer[i].imag() * 128.0f));
            }
            checker->take(bytes.data(), bytes.size());
            samples += count;
            if (count > 0 || device->lastError().rfind("RX stream stopped", 0) != 0) {
                continue;
            }
            // The board is gone: a new stream is a new run of the pattern.
            const std::lock_guard lock(deviceMutex);
            reorderings += checker->reorderings();
            unreadable += checker->unreadable();
            checker = std::make_unique<StreamChecker>();
            durations.timed("stopRx", [&] {
                device->stopRx();
                return 0;
            });
            bool streaming = false;
            while (running.load() && !(streaming = startStreaming())) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the board is still away
            }
            if (!streaming) {
                break;
            }
            ++recoveries;
        }
        reorderings += checker->reorderings();
        unreadable += checker->unreadable();
    });
    std::thread controller([&] {
        for (std::uint64_t retune = 0; running.load(); ++retune) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const std::lock_guard lock(deviceMutex);
            if (device) {
                durations.timed("setRxFrequency",
                                [&] { return device->setRxFrequency(retune % 2 == 0 ? 101e6 : 100e6); });
            }
        }
    });
    std::uint64_t unplugs = 0;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> plugged(200, 3000);  // ms until the board leaves
    std::uniform_int_distribution<int> unplugged(50, 4000); // ms until it is back: sometimes past the reopen
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto sleepUntilAtMost = [&](int ms) {
        std::this_thread::sleep_until(std::min(end, Clock::now() + std::chrono::milliseconds(ms)));
    };
    std::uint64_t residentStreaming = 0;
    while (Clock::now() < end) {
        sleepUntilAtMost(plugged(random));
        if (residentStreaming == 0) {
            residentStreaming = soak::residentKiB();
        }
        if (Clock::now() >= end) {
            break;
        }
        unplug(nullptr);
        ++unplugs;
        sleepUntilAtMost(unplugged(random));
        replug(nullptr);
    }
    // Let the last recovery finish before the threads stop.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    running.store(false);
    controller.join();
    reader.join();
    const std::uint64_t residentBeforeClose = soak::residentKiB();
    durations.timed("destroy", [&] {
        device.reset();
        return 0;
    });

    std::printf("duration                 %.0f s at %.0f samples/s\n", seconds, sampleRateHz);
    std::printf("unplugs                  %llu\n", static_cast<unsigned long long>(unplugs));
    std::printf("recoveries               %llu\n", static_cast<unsigned long long>(recoveries));
    std::printf("samples delivered        %llu\n", static_cast<unsigned long long>(samples));
    std::printf("reorderings              %llu (bytes that are no run of the pattern: %llu)\n",
                static_cast<unsigned long long>(reorderings), static_cast<unsigned long long>(unreadable));
    durations.print();
    std::printf("resident memory          %llu KiB at the start, %llu KiB once streaming, %llu KiB at the end\n",
                static_cast<unsigned long long>(residentAtStart), static_cast<unsigned long long>(residentStreaming),
                static_cast<unsigned long long>(residentBeforeClose));
    // Flat: no more than the rings of one extra stream (8 MiB) above the level once streaming.
    const bool flat = residentBeforeClose <= std::max(residentStreaming, residentAtStart) + 8192;
    return reorderings == 0 && unreadable == 0 && recoveries > 0 && flat ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double sampleRateHz = argc > 2 ? std::atof(argv[2]) : 20e6;
    if (argc > 3) {
        return runFaultSoak(seconds, sampleRateHz, static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }
    return runSoak(seconds, sampleRateHz);
}
