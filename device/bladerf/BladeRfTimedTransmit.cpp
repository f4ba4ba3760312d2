// SPDX-License-Identifier: MIT
// The timed transmit stream of BladeRfSdrDevice: bursts in libbladeRF's
// timestamped format (burst start and end marks, the start's timestamp) and
// the outcomes of the bursts.
//
// libbladeRF refuses a burst only when its time lies before the end of the
// stream's previous burst (BLADERF_ERR_TIME_PAST); the FPGA sends a burst
// whose time has passed at once, late, and tells the host nothing, and the
// library never reports a transmit underrun. So the board's transmit counter
// is read once per timed burst, before its samples are handed on: a burst
// already late is dropped whole and reported. Sent bursts and underruns are
// found by nextTxEvent, which compares the counter with what was written.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"
#include "device/bladerf/BladeRfStreamTimeout.h"
#include "device/bladerf/BladeRfTime.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace veltrano {
namespace {

// Small buffers: libbladeRF completes the buffer a burst ends in with
// silence, whose timestamps run on, and the next burst may start only after
// it. 2048 samples hold four messages of 508 samples each.
constexpr unsigned kTimedBuffers = 64;
constexpr unsigned kTimedBufferSamples = 2048;
constexpr unsigned kTimedTransfers = 16;
constexpr unsigned kTimedTimeoutMs = 250;
constexpr std::size_t kLargestTimedWrite = 65536;

} // namespace

bool BladeRfSdrDevice::startTimedTx()
{
    const BladeRfApi& api = bladeRfApi();
    if (!txConfigured_ || !isOpen() || !info_.supportsTx || excludedBy(rxStreaming_) || api.syncTx == nullptr ||
        !hasHardwareTime()) {
        return refuse("timed TX start: the transmitter is not configured, the board has no hardware time, or it "
                      "receives without full duplex");
    }
    if (txStreaming_.load()) {
        return txTimed_.load() || refuse("timed TX start: a plain transmit stream is running");
    }
    // libbladeRF 2022.11 advances a two-channel burst's timestamps by samples
    // rather than pairs, so its bursts would start late and overlap.
    if (streamedChannels_[1].load() == 2) {
        return refuse("timed TX start: libbladeRF places timed bursts of two channels at the wrong times; stream "
                      "one channel, or two without timestamps");
    }
    // A failure the receive stream met stays to be read while it runs.
    if (!rxStreaming_.load()) {
        clearStreamFailure();
    }
    streamEnds_.clear(StreamDirection::tx);
    txUnderruns_.store(0, std::memory_order_relaxed);
    {
        // Beside a running receive stream no library call meets a read.
        const std::lock_guard lock(deviceMutex_);
        if (api.syncConfig(handle_->device, BLADERF_TX_X1, static_cast<bladerf_format>(api.metadataFormat),
                           kTimedBuffers, kTimedBufferSamples, kTimedTransfers, kTimedTimeoutMs) < 0) {
            return refuse("timed TX start: the library does not take timestamps on transmit");
        }
        if (enableStreamChannels(StreamDirection::tx, true) < 0) {
            return refuse("timed TX start: the transmit channel did not start");
        }
    }
    txSamplesQueued_.store(0);
    txSamplesDrained_ = 0;
    {
        const std::lock_guard eventsLock(txEventsMutex_);
        txInFlightFirst_ = txInFlightCount_ = 0;
        txEventsFirst_ = txEventsCount_ = 0;
        txEventsLost_ = 0;
        txOpenBurstSeen_ = {};
    }
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.reserve(2 * kLargestTimedWrite);
    txBurst_ = {};
    txTimed_.store(true);
    txStreaming_.store(true);
    return true;
}

std::size_t BladeRfSdrDevice::writeBurst(const std::complex<float>* samples, std::size_t count,
                                         const TxBurstMarks& marks)
{
    return samples == nullptr && count != 0 ? 0 : writeTimed(samples, nullptr, count, marks);
}

std::size_t BladeRfSdrDevice::writeNativeBurst(const void* samples, std::size_t count, const TxBurstMarks& marks)
{
    return samples == nullptr && count != 0 ? 0 : writeTimed(nullptr, samples, count, marks);
}

std::size_t BladeRfSdrDevice::writeTimed(const std::complex<float>* samples, const void* values, std::size_t count,
                                         TxBurstMarks marks)
{
    const BladeRfApi& api = bladeRfApi();
    if (!txTimed_.load() || !txStreaming_.load() || !isOpen() || boardGone()) {
        refuse("TX burst: no timed transmit stream runs");
        return 0;
    }
    const std::lock_guard scratchLock(txScratchMutex_);
    TxBurstState& burst = txBurst_;
    if (marks.startsBurst && burst.open) {
        refuse("TX burst: a burst is open; end it before starting another");
        return 0;
    }
    if (count == 0 && !(marks.endsBurst && burst.open)) {
        return 0; // an empty write means something only as the end of an open burst
    }
    const std::size_t taken = std::min(count, kLargestTimedWrite);
    const bool ends = marks.endsBurst && taken == count;
    bladerf_metadata metadata{};
    if (!burst.open) {
        burst = {};
        burst.open = true;
        if (marks.startsBurst && marks.startTimeNs) {
            const std::optional<std::uint64_t> tick =
                detail::tickOfNanoseconds(*marks.startTimeNs, rateOf(true), timeOffsetNs_.load());
            const std::optional<std::uint64_t> counter = counterNow(true);
            if (!tick || !counter) {
                burst = {};
                refuse(tick ? "TX burst: the board's counter cannot be read"
                            : "TX burst: the time lies beyond the board's counter");
                return 0;
            }
            burst.timed = true;
            burst.requestedNs = *marks.startTimeNs;
            burst.startTick = *tick;
            burst.dropped = *tick == 0 || *tick < *counter;
            if (burst.dropped) {
                refuse("TX burst: its start time had passed; dropped");
            }
            metadata.flags = BLADERF_META_FLAG_TX_BURST_START;
            metadata.timestamp = *tick;
        } else {
            // At once: the counter now is where it starts at the earliest.
            burst.startTick = counterNow(true).value_or(0);
            burst.requestedNs =
                detail::nanosecondsOfTick(burst.startTick, rateOf(true), timeOffsetNs_.load()).value_or(0);
            metadata.flags = BLADERF_META_FLAG_TX_BURST_START | BLADERF_META_FLAG_TX_NOW;
        }
    }
    if (ends) {
        metadata.flags |= BLADERF_META_FLAG_TX_BURST_END;
    }
    int result = 0;
    if (!burst.dropped) {
        const void* data = values;
        if (samples != nullptr) {
            txScratch_.resize(2 * std::max<std::size_t>(taken, 1)); // within the capacity the start reserved
            detail::convertCf32ToSc16(samples, txScratch_.data(), taken);
            data = txScratch_.data();
        } else if (data == nullptr) {
            txScratch_.assign(2, 0); // an empty end mark still needs a buffer to point at
            data = txScratch_.data();
        }
        result = api.syncTx(handle_->device, data, static_cast<unsigned>(taken), &metadata, kTimedTimeoutMs);
        if (result == BLADERF_ERR_TIMEOUT) {
            const std::lock_guard lock(deviceMutex_);
            const int board = detail::askBoard(handle_->device, BLADERF_TX);
            result = board == 0 ? result : board;
        }
        // The library refuses a start before the previous burst's end: late too.
        burst.dropped = result == BLADERF_ERR_TIME_PAST && burst.samples == 0;
        if (burst.dropped) {
            refuse("TX burst: its start time had passed; dropped");
        } else if (result != 0) {
            if (burst.samples == 0) {
                burst = {}; // nothing of it reached the library: the next write starts afresh
            }
            streamFailed(StreamDirection::tx, result);
            return 0;
        }
    }
    burst.samples += taken;
    if (!burst.dropped) {
        txSamplesQueued_.fetch_add(taken);
    }
    const std::lock_guard eventsLock(txEventsMutex_);
    // The poll may have reported this burst's underrun already: once is enough.
    const bool underrunReported = txOpenBurstSeen_.open && txOpenBurstSeen_.underrunReported;
    txOpenBurstSeen_ = burst;
    txOpenBurstSeen_.underrunReported = underrunReported;
    if (!ends) {
        return taken;
    }
    txOpenBurstSeen_ = {};
    if (burst.dropped) {
        postTxEvent(TxEvent{TxEvent::Kind::lateBurst, burst.requestedNs, burst.samples});
    } else if (txInFlightCount_ == kTxEventSlots) {
        ++txEventsLost_;
    } else {
        txBurstsInFlight_[(txInFlightFirst_ + txInFlightCount_++) % kTxEventSlots] =
            SentBurst{burst.startTick, burst.samples};
    }
    burst = {};
    return taken;
}

bool BladeRfSdrDevice::drainTimedTx(std::stop_token stop)
{
    bool open = false;
    {
        const std::lock_guard scratchLock(txScratchMutex_);
        open = txBurst_.open;
    }
    if (open && writeTimed(nullptr, nullptr, 0, TxBurstMarks{false, std::nullopt, true}) == 0 &&
        lastError().rfind("TX stream stopped", 0) == 0) {
        return false;
    }
    std::uint64_t end = 0;
    {
        const std::lock_guard eventsLock(txEventsMutex_);
        for (std::size_t index = 0; index < txInFlightCount_; ++index) {
            const SentBurst& sent = txBurstsInFlight_[(txInFlightFirst_ + index) % kTxEventSlots];
            end = std::max(end, sent.startTick + sent.samples);
        }
    }
    while (!stop.stop_requested() && txStreaming_.load()) {
        const std::optional<std::uint64_t> counter = counterNow(true);
        if (!counter) {
            return false;
        }
        if (*counter >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void BladeRfSdrDevice::postTxEvent(const TxEvent& event)
{
    // Under txEventsMutex_. An underrun counts even where its event is lost.
    if (event.kind == TxEvent::Kind::underrun) {
        txUnderruns_.fetch_add(1, std::memory_order_relaxed);
    }
    if (txEventsCount_ == kTxEventSlots) {
        ++txEventsLost_;
        return;
    }
    txEvents_[(txEventsFirst_ + txEventsCount_++) % kTxEventSlots] = event;
}

std::optional<TxEvent> BladeRfSdrDevice::nextTxEvent()
{
    const std::int64_t offset = timeOffsetNs_.load();
    const std::uint64_t rate = rateOf(true);
    bool needCounter = false;
    {
        const std::lock_guard eventsLock(txEventsMutex_);
        needCounter = txInFlightCount_ > 0 ||
                      (txOpenBurstSeen_.open && !txOpenBurstSeen_.dropped && !txOpenBurstSeen_.underrunReported);
    }
    // Read outside the events lock: a writer waits on it only briefly.
    const std::optional<std::uint64_t> counter = needCounter ? counterNow(true) : std::nullopt;
    const std::lock_guard eventsLock(txEventsMutex_);
    if (counter) {
        while (txInFlightCount_ > 0) {
            const SentBurst& sent = txBurstsInFlight_[txInFlightFirst_];
            if (*counter < sent.startTick + sent.samples) {
                break;
            }
            postTxEvent(TxEvent{TxEvent::Kind::burstSent,
                                detail::nanosecondsOfTick(sent.startTick, rate, offset).value_or(0), sent.samples});
            txInFlightFirst_ = (txInFlightFirst_ + 1) % kTxEventSlots;
            --txInFlightCount_;
        }
        TxBurstState& open = txOpenBurstSeen_;
        const std::uint64_t writtenEnd = open.startTick + open.samples;
        if (open.open && !open.dropped && !open.underrunReported && open.timed && *counter > writtenEnd) {
            // Only a timed burst's start is known for certain; one sent at
            // once may have started later than the counter read at its start.
            open.underrunReported = true;
            postTxEvent(TxEvent{TxEvent::Kind::underrun,
                                detail::nanosecondsOfTick(writtenEnd, rate, offset).value_or(0), open.samples});
        }
    }
    if (txEventsLost_ > 0) {
        const TxEvent lost{TxEvent::Kind::eventsLost, 0, txEventsLost_};
        txEventsLost_ = 0;
        return lost;
    }
    if (txEventsCount_ == 0) {
        return std::nullopt;
    }
    const TxEvent event = txEvents_[txEventsFirst_];
    txEventsFirst_ = (txEventsFirst_ + 1) % kTxEventSlots;
    --txEventsCount_;
    return event;
}

} // namespace veltrano
