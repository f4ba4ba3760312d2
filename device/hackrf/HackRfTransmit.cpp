// SPDX-License-Identifier: MIT
// Transmit streaming of HackRfSdrDevice: configuration, start with the flush
// callback armed, writeSamples on the client side, the transmit callback on
// libhackrf's transfer thread (silence when the ring runs dry, a short last
// transfer when draining), the flush-confirmed drain, and the board's own
// underruns read beside the writes.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfFilters.h"
#include "device/hackrf/HackRfRings.h"
#include "device/hackrf/HackRfTransfers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace veltrano {
namespace {

constexpr double kHighestTxVgaGainDb = 47.0;
// libhackrf reports the flush soon after the last transfer left; two seconds
// cover a full ring at the lowest rate.
constexpr auto kDrainLimit = std::chrono::seconds(2);
constexpr auto kDrainPoll = std::chrono::milliseconds(1);
constexpr const char* kCompletionUnavailable = "HackRF TX completion is unavailable; update libhackrf";

} // namespace

bool HackRfSdrDevice::configureTx(const StreamConfig& config)
{
    lastError_.clear();
    txConfigured_ = false;
    if (!isOpen() || !info_.supportsTx || rxStreaming_.load() || txStreaming_.load() ||
        !detail::inRange(config.sampleRateHz, 2'000'000.0, 20'000'000.0) || !std::isfinite(config.bandwidthHz) ||
        !(config.bandwidthHz > 0.0) || !detail::inRange(config.frequencyHz, 1'000'000.0, 6'000'000'000.0)) {
        lastError_.set("invalid TX configuration");
        return false;
    }
    const HackRfApi& api = hackRfApi();
    if (api.setBasebandFilterBandwidth == nullptr || api.computeBasebandFilterBw == nullptr) {
        lastError_.set("HackRF TX baseband filter control is unavailable; update libhackrf");
        return false;
    }
    // The filter never needs to be wider than the band the samples span.
    const double requestedHz = config.bandwidthHz <= config.sampleRateHz ? config.bandwidthHz : config.sampleRateHz;
    const std::uint32_t filterHz = api.computeBasebandFilterBw(static_cast<std::uint32_t>(requestedHz));
    if (filterHz < detail::kHackRfFilterWidthsHz.front() || filterHz > detail::kHackRfFilterWidthsHz.back()) {
        lastError_.set("HackRF returned an invalid TX baseband filter bandwidth");
        return false;
    }
    txVgaGainDb_ = std::isfinite(config.gainDb)
                       ? static_cast<std::uint32_t>(std::clamp(std::round(config.gainDb), 0.0, kHighestTxVgaGainDb))
                       : 0;

    // The amplifier stays off unless the caller switched the transmit one on.
    const bool amplifier = txAmplifierEnabled_.load();
    hackrf_device* device = handle_->device;
    if (stepFailed("set TX sample rate", api.setSampleRate(device, config.sampleRateHz)) ||
        stepFailed("set TX baseband filter bandwidth", api.setBasebandFilterBandwidth(device, filterHz)) ||
        stepFailed("set TX frequency", api.setFreq(device, detail::wholeHz(config.frequencyHz))) ||
        stepFailed("set TX VGA gain", api.setTxvgaGain(device, txVgaGainDb_)) ||
        stepFailed(amplifier ? "enable TX RF amplifier" : "disable TX RF amplifier",
                   api.setAmpEnable(device, amplifier ? 1 : 0)) ||
        !applyBoardLimit(StreamDirection::tx)) {
        return false;
    }
    txFilterHz_.store(filterHz);
    txConfigured_ = true;
    return true;
}

bool HackRfSdrDevice::startTx()
{
    lastError_.clear();
    if (!txConfigured_ || !isOpen() || !info_.supportsTx || rxStreaming_.load()) {
        return false;
    }
    const HackRfApi& api = hackRfApi();
    if (api.enableTxFlush == nullptr) {
        lastError_.set(kCompletionUnavailable);
        return false;
    }
    if (txStreaming_.exchange(true)) {
        return true;
    }
    streamEnds_.clear(StreamDirection::tx);
    txUnderruns_.store(0, std::memory_order_relaxed);
    txUnderrunBytes_.store(0, std::memory_order_relaxed);
    startBoardShortfalls(StreamDirection::tx);
    txBoardGaveUp_.store(false, std::memory_order_relaxed);
    std::atomic_store(&txBuffer_, std::make_shared<RawBuffer>(detail::kHackRfRingBytes));
    txDraining_.store(false, std::memory_order_release);
    txEndedByCallback_.store(false, std::memory_order_release);
    txFlushStatus_.store(0, std::memory_order_release);
    txFlushEnabled_ = false;

    const auto fail = [&](const char* step, int result) {
        txStreaming_.exchange(false);
        std::atomic_store(&txBuffer_, std::shared_ptr<RawBuffer>());
        lastError_.set(std::string(step) + ": " + api.error(result));
        return false;
    };
    // Armed before the stream starts, so even the shortest stream reports its end.
    const int flushResult = api.enableTxFlush(
        handle_->device, [](void* context, int success) { transmitFlushCallback(context, success); }, this);
    if (flushResult != HACKRF_SUCCESS) {
        return fail("enable TX flush", flushResult);
    }
    txFlushEnabled_ = true;
    if (!syncModeForStart(StreamDirection::tx)) {
        const std::string why = lastError_.get();
        txStreaming_.exchange(false);
        std::atomic_store(&txBuffer_, std::shared_ptr<RawBuffer>());
        lastError_.set(why);
        return false;
    }
    const int startResult = api.startTx(
        handle_->device, [](hackrf_transfer* transfer) { return transmitCallback(transfer); }, this);
    if (startResult != HACKRF_SUCCESS) {
        return fail("start TX", startResult);
    }
    if (!confirmWaitingForPulse(StreamDirection::tx)) {
        const std::string why = lastError_.get();
        stopTx();
        lastError_.set(why);
        return false;
    }
    startBoardWatcher(StreamDirection::tx);
    return true;
}

template <typename Fill>
std::size_t HackRfSdrDevice::transmitInPlace(std::size_t count, Fill fill)
{
    if (count == 0 || !txStreaming_.load() || txDraining_.load(std::memory_order_acquire)) {
        return 0;
    }
    const std::shared_ptr<RawBuffer> ring = std::atomic_load(&txBuffer_);
    if (!ring || txStreamDied() || txBoardGaveUp()) {
        return 0; // samples queued for a dead stream would be lost unseen
    }
    // Whole samples only: the room now (the consumer only ever frees more)
    // rounded down to even, so the producer takes exactly what it was offered.
    const std::size_t room = (ring->capacity - ring->size()) & ~std::size_t{1};
    const std::size_t wanted = 2 * std::min(count, room / 2);
    return ring->produce(wanted, fill) / 2;
}

std::size_t HackRfSdrDevice::writeSamples(const std::complex<float>* samples, std::size_t count)
{
    if (samples == nullptr) {
        return 0;
    }
    // Converted straight into the ring's free space: only what fits now is
    // converted (the consumer only ever frees more).
    return transmitInPlace(count, [samples](std::uint8_t* slot, std::size_t bytes, std::size_t offset) {
        detail::convertCf32ToCs8(samples + offset / 2, reinterpret_cast<std::int8_t*>(slot), bytes / 2);
    });
}

std::size_t HackRfSdrDevice::writeNativeSamples(const void* samples, std::size_t count)
{
    if (samples == nullptr) {
        return 0;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(samples);
    return transmitInPlace(count, [bytes](std::uint8_t* slot, std::size_t length, std::size_t offset) {
        std::memcpy(slot, bytes + offset, length);
    });
}

int HackRfSdrDevice::transmitCallback(void* transfer)
{
    const auto* record = static_cast<const hackrf_transfer*>(transfer);
    if (record == nullptr || record->tx_ctx == nullptr) {
        return 1;
    }
    return static_cast<HackRfSdrDevice*>(record->tx_ctx)->transmit(transfer);
}

void HackRfSdrDevice::transmitFlushCallback(void* context, int success)
{
    if (context != nullptr) {
        static_cast<HackRfSdrDevice*>(context)->txFlushStatus_.store(success != 0 ? 1 : -1, std::memory_order_release);
    }
}

int HackRfSdrDevice::transmit(void* transfer)
{
    const int result = fillTransfer(transfer);
    if (result != 0) {
        txEndedByCallback_.store(true, std::memory_order_release);
    }
    return result;
}

int HackRfSdrDevice::fillTransfer(void* transfer)
{
    detail::raiseTransferThreadPriorityOnce();
    auto& record = *static_cast<hackrf_transfer*>(transfer);
    if (record.buffer == nullptr || record.buffer_length <= 0) {
        return 1;
    }
    const auto length = static_cast<std::size_t>(record.buffer_length);
    const std::shared_ptr<RawBuffer> ring = std::atomic_load(&txBuffer_);
    const bool draining = txDraining_.load(std::memory_order_acquire);
    if (txStreaming_.load() && ring) {
        const std::size_t sent = ring->read(record.buffer, length);
        std::memset(record.buffer + sent, 0, length - sent);
        if (!draining) {
            // An underrun: the board keeps its timing by sending silence.
            if (sent < length) {
                txUnderruns_.fetch_add(1, std::memory_order_relaxed);
                txUnderrunBytes_.fetch_add(length - sent, std::memory_order_relaxed);
            }
            record.valid_length = record.buffer_length;
        } else {
            // Draining: what is left goes out as a short last transfer.
            record.valid_length = static_cast<int>(sent);
            if (sent == 0) {
                return 1;
            }
        }
        return txStreaming_.load() ? 0 : 1;
    }
    std::memset(record.buffer, 0, length);
    if (draining) {
        record.valid_length = 0;
        return 1;
    }
    record.valid_length = record.buffer_length;
    return txStreaming_.load() ? 0 : 1;
}

bool HackRfSdrDevice::drainTx(std::stop_token stop)
{
    if (stop.stop_requested()) {
        return false;
    }
    if (!txStreaming_.load() || !isOpen()) {
        lastError_.set("TX stream is not active");
        return false;
    }
    if (!txFlushEnabled_) {
        lastError_.set(kCompletionUnavailable);
        return false;
    }
    txDraining_.store(true, std::memory_order_release);
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    for (;;) {
        if (stop.stop_requested()) {
            return false;
        }
        const std::int32_t flushed = txFlushStatus_.load(std::memory_order_acquire);
        if (flushed > 0) {
            // The board has sent the last sample and libhackrf ends the stream.
            streamEnds_.ended(StreamDirection::tx, "TX stream drained: every sample has left the board");
            return true;
        }
        if (flushed < 0) {
            lastError_.set("HackRF TX flush failed");
            return false;
        }
        if (txStreamDied()) {
            return false;
        }
        if (txBoardGaveUp()) {
            return false;
        }
        if (!txStreaming_.load()) {
            lastError_.set("TX stream stopped before completion");
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            lastError_.set("HackRF TX completion timed out");
            return false;
        }
        std::this_thread::sleep_for(kDrainPoll);
    }
}

bool HackRfSdrDevice::txStreamDied()
{
    const HackRfApi& api = hackRfApi();
    if (api.isStreaming == nullptr || !isOpen() || txEndedByCallback_.load(std::memory_order_acquire)) {
        return false;
    }
    const int alive = api.isStreaming(handle_->device);
    // The library marks its stream stopped only after our callback returned,
    // so a callback that ended it has set the flag by then; a stopTx from
    // another thread clears txStreaming_ before it stops the library's stream.
    if (alive == HACKRF_TRUE || txEndedByCallback_.load(std::memory_order_acquire) || !txStreaming_.load()) {
        return false;
    }
    streamStopped(StreamDirection::tx, "TX stream stopped: " + api.error(alive));
    return true;
}

bool HackRfSdrDevice::txBoardGaveUp()
{
    if (txBoardGaveUp_.load(std::memory_order_relaxed)) {
        return true;
    }
    // A board that gave the stream up takes no more, and only its state,
    // which the watcher asks, tells why.
    std::string stopped = takeBoardStop(StreamDirection::tx);
    if (stopped.empty()) {
        return false;
    }
    txBoardGaveUp_.store(true, std::memory_order_relaxed);
    streamStopped(StreamDirection::tx, std::move(stopped));
    return true;
}

void HackRfSdrDevice::stopTx()
{
    const HackRfApi& api = hackRfApi();
    const bool wasStreaming = txStreaming_.exchange(false);
    if (wasStreaming) {
        stopBoardWatcher(StreamDirection::tx);
    }
    if (wasStreaming && isOpen() && api.stopTx != nullptr) {
        static_cast<void>(api.stopTx(handle_->device));
        // The board keeps its counts once idle: the stream's final ones.
        static_cast<void>(askBoardShortfalls(StreamDirection::tx));
    }
    txFlushEnabled_ = false;
    txDraining_.store(false, std::memory_order_release);
    std::atomic_store(&txBuffer_, std::shared_ptr<RawBuffer>());
    streamEnds_.clear(StreamDirection::tx);
}

} // namespace veltrano
