// SPDX-License-Identifier: MIT
// Receive streaming of HackRfSdrDevice: configuration with its one
// reopen-and-retry, retuning, the amplifier, start and stop, the receive
// callback on libhackrf's transfer thread, and readSamples on the client side.
// The two sides meet only in the RawBuffer and in atomics.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfRings.h"
#include "device/hackrf/HackRfTransfers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

namespace veltrano {
namespace {

// After a retune or a rate change the synthesiser, the clock and the board's
// own buffers still deliver samples of the old setting for a while (libhackrf
// alone keeps 1 MiB of transfers in flight); 655,360 samples cover that.
constexpr std::uint64_t kRetuneDiscardBytes = 1'310'720;
// readSamples waits at most this many 1 ms polls (about 100 ms) for data.
constexpr int kPollBudget = 100;
constexpr auto kPollPause = std::chrono::milliseconds(1);
// A stream the board gave up for its limit is reported once the reader has
// found it dry for this many polls (about 20 ms, longer than any pause of a
// live board between transfers), so that every transfer stored before the
// end is handed out first.
constexpr int kDryPollsBeforeTheBoardsStop = 20;

} // namespace

HackRfSdrDevice::RxGains HackRfSdrDevice::splitGain(double gainDb)
{
    // The LNA takes whole 8 dB steps first, the VGA the rest in 2 dB steps.
    if (!std::isfinite(gainDb) || gainDb < 0.0) {
        return {0, 0};
    }
    if (gainDb > 102.0) {
        return {40, 62};
    }
    const double lna = std::min(8.0 * std::floor(gainDb / 8.0), 40.0);
    const double vga = std::clamp(2.0 * std::round((gainDb - lna) / 2.0), 0.0, 62.0);
    return {static_cast<std::uint32_t>(lna), static_cast<std::uint32_t>(vga)};
}

void HackRfSdrDevice::holdRxGain(double gainDb)
{
    const RxGains gains = splitGain(gainDb);
    lnaGainDb_.store(gains.lnaDb);
    vgaGainDb_.store(gains.vgaDb);
}

bool HackRfSdrDevice::applyRxConfiguration(const StreamConfig& config)
{
    const HackRfApi& api = hackRfApi();
    hackrf_device* device = handle_->device;
    // The configuration's bandwidth is not used: setting the rate sets the
    // library's own filter, and only one the caller chose replaces it.
    if (stepFailed("set sample rate", api.setSampleRate(device, config.sampleRateHz)) ||
        !restoreFilterAfterRate(StreamDirection::rx, config.sampleRateHz)) {
        return false;
    }
    if (!applyBoardLimit(StreamDirection::rx)) {
        return false;
    }
    return !stepFailed("set frequency", api.setFreq(device, detail::wholeHz(config.frequencyHz))) &&
           !stepFailed("set LNA gain", api.setLnaGain(device, lnaGainDb_)) &&
           !stepFailed("set VGA gain", api.setVgaGain(device, vgaGainDb_)) &&
           !stepFailed("set RF amplifier", api.setAmpEnable(device, rxAmplifierEnabled_ ? 1 : 0));
}

bool HackRfSdrDevice::configureRx(const StreamConfig& config)
{
    lastError_.clear();
    if (!isOpen() || rxStreaming_.load() || txStreaming_.load() ||
        !detail::inRange(config.sampleRateHz, detail::kHackRfLowestRateHz, detail::kHackRfHighestRateHz) ||
        !detail::inRange(config.frequencyHz, 1'000'000.0, 6'000'000'000.0)) {
        lastError_.set("invalid RX configuration");
        return false;
    }
    holdRxGain(config.gainDb);
    bool configured = applyRxConfiguration(config);
    if (!configured) {
        // A board that stopped answering often recovers from a close and reopen.
        const std::string firstFailure = lastError_.get();
        if (!reopenDevice()) {
            lastError_.set(firstFailure + "; " + lastError_.get());
            return false;
        }
        lastError_.clear();
        configured = applyRxConfiguration(config);
        if (!configured) {
            lastError_.set(firstFailure + "; retry: " + lastError_.get());
            return false;
        }
    }
    actualRxSampleRateHz_ = config.sampleRateHz;
    rxFrequencyHz_ = config.frequencyHz;
    return true;
}

bool HackRfSdrDevice::setRxFrequency(double frequencyHz)
{
    lastError_.clear();
    if (!isOpen() || txStreaming_.load() || !detail::inRange(frequencyHz, 1'000'000.0, 6'000'000'000.0)) {
        lastError_.set("invalid RX frequency");
        return false;
    }
    if (frequencyHz == rxFrequencyHz_) {
        return true;
    }
    const HackRfApi& api = hackRfApi();
    const int result = api.setFreq(handle_->device, detail::wholeHz(frequencyHz));
    if (result != HACKRF_SUCCESS) {
        lastError_.set("set frequency: " + api.error(result));
        return false;
    }
    discardReceivedSamples();
    rxFrequencyHz_ = frequencyHz;
    return true;
}

void HackRfSdrDevice::discardReceivedSamples()
{
    const std::shared_ptr<RawBuffer> ring = std::atomic_load(&rxBuffer_);
    if (rxStreaming_.load()) {
        // Hold a reader on another thread back from everything until the clear
        // point is known, then discard the settling bytes that follow it.
        rxDiscardUntil_.store(std::numeric_limits<std::uint64_t>::max());
        const std::uint64_t clearedTo = ring ? ring->clear() : 0;
        rxDiscardUntil_.store(clearedTo + kRetuneDiscardBytes);
    } else {
        if (ring) {
            ring->clear();
        }
        rxDiscardUntil_.store(0);
    }
}

bool HackRfSdrDevice::setRxAmplifier(bool enabled)
{
    if (!isOpen() || txStreaming_.load()) {
        return false;
    }
    if (hackRfApi().setAmpEnable(handle_->device, enabled ? 1 : 0) != HACKRF_SUCCESS) {
        return false;
    }
    rxAmplifierEnabled_ = enabled;
    return true;
}

bool HackRfSdrDevice::startRx()
{
    lastError_.clear();
    if (!isOpen() || txStreaming_.load() || !(actualRxSampleRateHz_ > 0.0)) {
        return false;
    }
    if (rxStreaming_.exchange(true)) {
        return true; // receive or a native sweep already runs
    }
    streamEnds_.clear(StreamDirection::rx);
    rxDiscardUntil_.store(0);
    rxDroppedBytes_.store(0, std::memory_order_relaxed);
    rxOverflowsReached_.store(0, std::memory_order_relaxed);
    rxGapBytesReached_.store(0, std::memory_order_relaxed);
    rxSkippedBytes_.store(0, std::memory_order_relaxed);
    rxDiscardedBytes_.store(0, std::memory_order_relaxed);
    startBoardShortfalls(StreamDirection::rx);
    if (!syncModeForStart(StreamDirection::rx)) {
        rxStreaming_.exchange(false);
        return false;
    }
    std::atomic_store(&rxBuffer_, std::make_shared<RawBuffer>(detail::kHackRfRingBytes));
    const HackRfApi& api = hackRfApi();
    const int result = api.startRx(
        handle_->device, [](hackrf_transfer* transfer) { return receiveCallback(transfer); }, this);
    if (result == HACKRF_SUCCESS) {
        if (!confirmWaitingForPulse(StreamDirection::rx)) {
            const std::string why = lastError_.get();
            stopRx();
            lastError_.set(why);
            return false;
        }
        startBoardWatcher(StreamDirection::rx);
        return true;
    }
    rxStreaming_.exchange(false);
    std::atomic_store(&rxBuffer_, std::shared_ptr<RawBuffer>());
    lastError_.set("start RX: " + api.error(result));
    return false;
}

void HackRfSdrDevice::stopRx()
{
    // The flag goes first, so transfers still in flight end the stream too.
    const bool wasStreaming = rxStreaming_.exchange(false);
    sweepActive_.store(false, std::memory_order_release);
    streamEnds_.clear(StreamDirection::rx);
    if (wasStreaming) {
        stopBoardWatcher(StreamDirection::rx);
    }
    if (wasStreaming && isOpen()) {
        static_cast<void>(hackRfApi().stopRx(handle_->device));
        // The board keeps its counts once idle: the stream's final ones.
        static_cast<void>(askBoardShortfalls(StreamDirection::rx));
    }
    std::atomic_store(&rxBuffer_, std::shared_ptr<RawBuffer>());
    std::atomic_store(&sweepBuffer_, std::shared_ptr<SweepBuffer>());
}

int HackRfSdrDevice::receiveCallback(void* transfer)
{
    const auto* record = static_cast<const hackrf_transfer*>(transfer);
    if (record == nullptr || record->rx_ctx == nullptr) {
        return 1;
    }
    return static_cast<HackRfSdrDevice*>(record->rx_ctx)->receive(transfer);
}

int HackRfSdrDevice::receive(void* transfer)
{
    detail::raiseTransferThreadPriorityOnce();
    if (!rxStreaming_.load(std::memory_order_acquire)) {
        return 1;
    }
    const auto& record = *static_cast<const hackrf_transfer*>(transfer);
    const std::size_t validBytes = detail::usableBytes(record, record.valid_length);
    if (sweepActive_.load(std::memory_order_acquire)) {
        takeSweepTransfer(record.buffer, validBytes);
        return 0;
    }
    const std::shared_ptr<RawBuffer> ring = std::atomic_load(&rxBuffer_);
    if (record.buffer == nullptr || validBytes < 2 || !ring) {
        return 0;
    }
    // Whole samples only; what does not fit is the newest data and is dropped,
    // never the older bytes the reader has yet to see.
    const std::size_t offered = validBytes & ~std::size_t{1};
    const std::size_t stored = ring->write(record.buffer, offered);
    if (stored < offered) {
        rxDroppedBytes_.fetch_add(offered - stored, std::memory_order_relaxed);
        ring->gaps.record(ring->storedPosition(), offered - stored);
    }
    return 0;
}

bool HackRfSdrDevice::passReachedGaps(RawBuffer& ring)
{
    const detail::HackRfGapLog::Passed passed = ring.gaps.pass(ring.consumedPosition());
    if (passed.gaps == 0) {
        return false;
    }
    rxGapBytesReached_.fetch_add(passed.bytes, std::memory_order_relaxed);
    rxOverflowsReached_.fetch_add(passed.gaps, std::memory_order_release);
    return true;
}

template <typename Take>
std::size_t HackRfSdrDevice::receiveInPlace(std::size_t count, Take take)
{
    if (count == 0) {
        return 0;
    }
    const std::shared_ptr<RawBuffer> ring = std::atomic_load(&rxBuffer_);
    if (!ring) {
        return 0; // not streaming, or a native sweep owns the stream
    }
    // One call can never return more than the ring holds.
    const std::size_t wanted = 2 * static_cast<std::size_t>(std::min<std::uint64_t>(count, ring->capacity / 2));
    const auto discardPending = [&ring](std::uint64_t until) {
        const std::uint64_t position = ring->consumedPosition();
        return until > position ? until - position : 0;
    };
    const auto drop = [](const std::uint8_t*, std::size_t, std::size_t) {};
    // Bytes consumed and not handed out belong to an old frequency or rate.
    const auto discarded = [this](std::uint64_t bytes) {
        rxDiscardedBytes_.fetch_add(bytes, std::memory_order_relaxed);
    };

    const HackRfApi& api = hackRfApi();
    int dryPolls = 0;
    int budget = kPollBudget;
    for (;;) {
        discarded(ring->takeClearedBytes());
        std::uint64_t until = rxDiscardUntil_.load();
        for (std::uint64_t pending = discardPending(until); pending > 0; pending = discardPending(until)) {
            const std::size_t dropped =
                ring->consume(static_cast<std::size_t>(std::min<std::uint64_t>(pending, ring->capacity)), drop);
            discarded(dropped);
            if (dropped == 0 || --budget == 0) {
                return 0; // no waiting while the old frequency drains away
            }
            until = rxDiscardUntil_.load();
        }
        // A loss is the caller's to see before any byte that followed it: a
        // read that gets to a gap ends there, and one that starts on it (or
        // past it, after a clear) hands out nothing.
        if (passReachedGaps(*ring)) {
            return 0;
        }
        if (rxOverflowPolicy_.load(std::memory_order_relaxed) == OverflowPolicy::keepFresh && !ring->gaps.empty()) {
            // A live display wants the newest bytes: everything stored before
            // the latest loss goes, counted, and the loss is reported now.
            const std::size_t skipped = ring->consume(static_cast<std::size_t>(ring->capacity), drop);
            rxSkippedBytes_.fetch_add(skipped, std::memory_order_relaxed);
            static_cast<void>(passReachedGaps(*ring));
            return 0;
        }
        // The stored position is read before the gaps, so a gap recorded
        // after it lies beyond what this take may reach.
        const std::uint64_t stored = ring->storedPosition();
        const std::uint64_t consumed = ring->consumedPosition();
        const std::uint64_t reach = std::min(stored, ring->gaps.nextPosition());
        const std::size_t allowed =
            reach > consumed ? static_cast<std::size_t>(std::min<std::uint64_t>(wanted, reach - consumed)) : 0;
        const std::size_t taken = allowed > 0 ? ring->consume(allowed, take) : 0;
        if (taken >= 2 && rxDiscardUntil_.load() == until) {
            static_cast<void>(passReachedGaps(*ring));
            return taken / 2;
        }
        discarded(taken);
        if (taken == 0) {
            // Samples stored before the board gave up are still handed out:
            // only a read that finds none asks.
            if (++dryPolls >= kDryPollsBeforeTheBoardsStop) {
                if (std::string stopped = takeBoardStop(StreamDirection::rx); !stopped.empty()) {
                    streamStopped(StreamDirection::rx, std::move(stopped));
                    return 0;
                }
            }
            if (api.isStreaming != nullptr && isOpen()) {
                const int alive = api.isStreaming(handle_->device);
                if (alive != HACKRF_TRUE) {
                    streamStopped(StreamDirection::rx, "RX stream stopped: " + api.error(alive));
                    return 0;
                }
            }
            if (!rxStreaming_.load()) {
                return 0;
            }
            std::this_thread::sleep_for(kPollPause);
        }
        // Bytes taken while a retune from another thread came in belong to the
        // old frequency: they are dropped like the rest of it, and the next
        // take overwrites what they left in the caller's buffer.
        if (--budget == 0) {
            return 0;
        }
    }
}

std::size_t HackRfSdrDevice::readSamples(std::complex<float>* samples, std::size_t count)
{
    if (samples == nullptr) {
        return 0;
    }
    // Converted straight out of the ring: the bytes are touched once.
    return receiveInPlace(count, [samples](const std::uint8_t* slot, std::size_t bytes, std::size_t offset) {
        detail::convertCs8ToCf32(reinterpret_cast<const std::int8_t*>(slot), samples + offset / 2, bytes / 2);
    });
}

std::size_t HackRfSdrDevice::readNativeSamples(void* samples, std::size_t count)
{
    if (samples == nullptr) {
        return 0;
    }
    auto* bytes = static_cast<std::uint8_t*>(samples);
    return receiveInPlace(count, [bytes](const std::uint8_t* slot, std::size_t length, std::size_t offset) {
        std::memcpy(bytes + offset, slot, length);
    });
}

} // namespace veltrano
