// SPDX-License-Identifier: MIT
// Receive path of BladeRfSdrDevice: the first receive channel's settings,
// libbladeRF's synchronous stream in the plain or the timestamped format, and
// reading complex float samples out of it. A reader thread may sit in
// readSamples while a controller thread retunes or stops (see the header).
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"
#include "device/bladerf/BladeRfStreamTimeout.h"
#include "device/bladerf/BladeRfSynthesizerLock.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace veltrano {
namespace {

using detail::kBladeRfRxChannel;

// Stream geometry: deep enough to ride out a reader that is late by a few
// milliseconds at the highest rates, one buffer per largest read.
constexpr unsigned kStreamBuffers = 64;
constexpr unsigned kStreamBufferSamples = 16384;
constexpr unsigned kStreamTransfers = 16;
constexpr unsigned kStreamTimeoutMs = 250;
// Short enough that a stop never waits long for a read in flight.
constexpr unsigned kReadTimeoutMs = 100;

// Reads are whole multiples of 1024 samples, at most one stream buffer.
constexpr std::size_t kReadGranularity = 1024;
constexpr std::size_t kLargestRead = kStreamBufferSamples;
// Interleaved I and Q of the largest read, for each of up to two channels.
constexpr std::size_t kScratchValues = 2 * 2 * kLargestRead;

// The size of the library read that serves `remaining` samples.
std::size_t readSizeFor(std::size_t remaining)
{
    if (remaining >= kLargestRead) {
        return kLargestRead;
    }
    return (remaining + kReadGranularity - 1) / kReadGranularity * kReadGranularity;
}

} // namespace

bool BladeRfSdrDevice::configureRx(const StreamConfig& config)
{
    if (!isOpen() || rxStreaming_.load() || excludedBy(txStreaming_) ||
        !detail::isUsableSampleRate(config.sampleRateHz) || !detail::isUsableFrequency(config.frequencyHz) ||
        rateClashes(StreamDirection::rx, config.sampleRateHz)) {
        return false;
    }
    // A library that reports no range leaves the check to the library itself.
    const auto ranges = rxFrequencyRanges();
    if (!ranges.empty() && !frequencyRangesCover(ranges, config.frequencyHz, config.frequencyHz + 1.0)) {
        return false;
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    bladerf_sample_rate actualRate = 0;
    if (api.setSampleRate(device, kBladeRfRxChannel, detail::wholeSampleRate(config.sampleRateHz), &actualRate) < 0) {
        return false;
    }
    const std::uint64_t frequency = detail::wholeHz(config.frequencyHz);
    if (api.setFrequency(device, kBladeRfRxChannel, frequency) < 0) {
        return false;
    }
    if (!detail::bladeRfSynthesizerLocked(api, device, detail::BladeRfSynthesizer::rx, bladeRf2Parts_)) {
        return refuse("RX synthesizer did not lock at " + std::to_string(frequency) + " Hz");
    }
    bladerf_bandwidth actualBandwidth = 0;
    if (api.setBandwidth(device, kBladeRfRxChannel, detail::filterBandwidth(config.bandwidthHz, actualRate),
                         &actualBandwidth) < 0 ||
        api.setGainMode(device, streamChannel(StreamDirection::rx), BLADERF_GAIN_MGC) < 0 ||
        api.setGain(device, streamChannel(StreamDirection::rx), detail::wholeDb(config.gainDb)) < 0) {
        return false;
    }
    actualRxSampleRateHz_ = static_cast<double>(actualRate);
    bandwidthHz_[0].store(static_cast<double>(actualBandwidth));
    rxAutomaticGain_.store(false);
    rxFrequencyHz_ = config.frequencyHz;
    keepConfiguredGain(StreamDirection::rx, config.gainDb);
    handle_->quickTunes.clear();
    // The frequency just tuned is the first one a hop can come back to quickly.
    if (api.scheduleRetune != nullptr && api.getQuickTune != nullptr) {
        NativeHandle::QuickTuneEntry entry;
        if (api.getQuickTune(device, kBladeRfRxChannel, &entry.quickTune) == 0) {
            handle_->quickTunes.insert_or_assign(frequency, entry);
        }
    }
    return true;
}

bool BladeRfSdrDevice::startRx()
{
    if (!isOpen() || !info_.supportsRx || excludedBy(txStreaming_) || !(actualRxSampleRateHz_ > 0.0)) {
        return false;
    }
    if (rxStreaming_.load()) {
        return true;
    }
    // An armed trigger: the stream starts only on a board that will wait.
    if (!readyForTriggeredStart(StreamDirection::rx)) {
        return false;
    }
    if (rxStreaming_.exchange(true)) {
        return true;
    }
    streamEnds_.clear(StreamDirection::rx);
    // A failure the transmit stream met stays to be read while it runs.
    if (!txStreaming_.load()) {
        clearStreamFailure();
    }
    lastReadTickPlusOne_.store(0);
    rxStartTick_.store(0);
    fastRxRetuneCount_.store(0);
    regularRxRetuneCount_.store(0);
    failedFastRxRetuneCount_.store(0);
    lastFastRxRetuneError_.store(0);
    rxOverrunCount_.store(0);
    rxLostSamples_.store(0);
    rxDiscardedSamples_.store(0);

    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    const auto configure = [&](bladerf_format format) {
        return api.syncConfig(device, static_cast<bladerf_channel_layout>(streamLayout(StreamDirection::rx)), format,
                              kStreamBuffers, kStreamBufferSamples, kStreamTransfers, kStreamTimeoutMs) >= 0;
    };
    const auto metadataFormat = static_cast<bladerf_format>(api.metadataFormat);
    // Retunes need timestamps only when a hop can use them: a cached record
    // and the library's quick-tune calls.
    const bool forRetunes = supportsFastRxRetune() && !handle_->quickTunes.empty();
    const bool timestamped = forRetunes && configure(metadataFormat);
    if (forRetunes && !timestamped) {
        handle_->quickTunes.clear(); // no fast hops on this stream
    }
    // The plain stream takes timestamps too wherever the library does: the
    // plain format's library drops samples its buffers cannot hold without a
    // trace, while a timestamp jump shows every gap and its size. Reads hand
    // out the same samples either way.
    const bool withTimestamps = timestamped || (!forRetunes && configure(metadataFormat));
    if (!withTimestamps && !configure(BLADERF_FORMAT_SC16_Q11)) {
        rxStreaming_.store(false);
        return false;
    }
    if (enableStreamChannels(StreamDirection::rx, true) < 0) {
        rxStreaming_.store(false);
        return false;
    }
    rxMetadataEnabled_.store(timestamped);
    rxLibraryTimestamps_.store(withTimestamps);
    nextRxTimestamp_.store(0);
    rxReadTimedOut_.store(false);
    const std::lock_guard scratchLock(rxScratchMutex_);
    rxScratch_.resize(kScratchValues);
    rxExpectedTimestamp_ = 0;
    rxGapCounted_ = false;
    return true;
}

void BladeRfSdrDevice::stopRx()
{
    const bool wasStreaming = rxStreaming_.exchange(false);
    streamEnds_.clear(StreamDirection::rx);
    nextRxTimestamp_.store(0);
    rxStartTick_.store(0);
    if (wasStreaming && isOpen()) {
        // Waits for a read in flight, so the channel never goes down under it.
        const std::lock_guard lock(deviceMutex_);
        static_cast<void>(enableStreamChannels(StreamDirection::rx, false));
    }
    {
        const std::lock_guard scratchLock(rxScratchMutex_);
        rxScratch_.clear(); // keeps the capacity for the next start
    }
    rxMetadataEnabled_.store(false);
    rxLibraryTimestamps_.store(false);
}

std::size_t BladeRfSdrDevice::readSamples(std::complex<float>* samples, std::size_t count)
{
    return samples == nullptr || refusedSingleBuffer(StreamDirection::rx) ? 0 : receive(&samples, nullptr, count);
}

std::size_t BladeRfSdrDevice::readNativeSamples(void* samples, std::size_t count)
{
    auto* values = static_cast<std::int16_t*>(samples);
    return samples == nullptr || refusedSingleBuffer(StreamDirection::rx) ? 0 : receive(nullptr, &values, count);
}

std::size_t BladeRfSdrDevice::readChannelSamples(std::complex<float>* const* buffers, std::size_t count)
{
    const std::size_t channels = streamedChannels_[0].load(std::memory_order_relaxed);
    if (buffers == nullptr || std::find(buffers, buffers + channels, nullptr) != buffers + channels) {
        return 0;
    }
    return receive(buffers, nullptr, count);
}

std::size_t BladeRfSdrDevice::readNativeChannelSamples(void* const* buffers, std::size_t count)
{
    const std::size_t channels = streamedChannels_[0].load(std::memory_order_relaxed);
    if (buffers == nullptr || std::find(buffers, buffers + channels, nullptr) != buffers + channels) {
        return 0;
    }
    std::int16_t* values[2] = {static_cast<std::int16_t*>(buffers[0]),
                               channels == 2 ? static_cast<std::int16_t*>(buffers[1]) : nullptr};
    return receive(nullptr, values, count);
}

std::size_t BladeRfSdrDevice::receive(std::complex<float>* const* samples, std::int16_t* const* values,
                                      std::size_t count)
{
    // Two channels come interleaved per pair in one library stream whose
    // timestamps count pairs; the library's seek to a timestamp misplaces
    // them, so a point to start from is reached by reading on and dropping.
    const bool two = streamedChannels_[0].load(std::memory_order_relaxed) == 2;
    if (count == 0 || !rxStreaming_.load() || !isOpen() || boardGone() || waitingForRxStart()) {
        return 0;
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    // Read before the retune point, so that a rate change between the two is
    // seen below rather than lost.
    std::uint64_t rateChanges = rxRateChanges_.load();
    // Where a retune said the new frequency's samples begin; 0: whatever comes next.
    bladerf_timestamp timestamp = nextRxTimestamp_.exchange(0);
    bool retuned = timestamp != 0;
    // Two channels: the first sample a read may hand out (0: any).
    bladerf_timestamp dropUntil = 0;
    // A retune counted the samples up to its point already; a timed start
    // (nothing read before it) counts them as they are dropped.
    bool countDropped = false;
    std::size_t done = 0;
    while (done < count) {
        if (!rxStreaming_.load()) {
            return done;
        }
        const std::size_t remaining = count - done;
        const std::size_t readSize = readSizeFor(remaining);
        std::size_t delivered = std::min(readSize, remaining);

        // A native read whose library read fits in the caller's buffer needs
        // no staging: the library writes the values where they are wanted.
        std::int16_t* target = !two && values != nullptr && readSize <= remaining ? values[0] + 2 * done : nullptr;

        const std::lock_guard scratchLock(rxScratchMutex_);
        bladerf_metadata metadata{};
        bool timestamped = false;
        bool withTimestamps = false;
        bool gapFollows = false;
        std::uint64_t skip = 0; // samples per channel before the point a two-channel read starts from
        int result = 0;
        {
            // Control calls and counter reads waiting for the board go first.
            const ReaderTurn deviceLock(deviceMutex_);
            // A stop, or a start still sizing the buffer, ends this read.
            if (!rxStreaming_.load() || rxScratch_.size() < (two ? 4 : 2) * readSize) {
                return done;
            }
            // A live rate change since this call began: the samples this call
            // holds end it, and the read goes on from where the change said
            // the new rate's samples begin.
            if (rxRateChanges_.load() != rateChanges) {
                if (done > 0) {
                    return done;
                }
                rateChanges = rxRateChanges_.load();
                if (const bladerf_timestamp posted = nextRxTimestamp_.exchange(0); posted != 0) {
                    timestamp = posted; // else this call took it on entry
                    retuned = true;
                }
            }
            // The samples from the last one read up to where the new setting's
            // begin are never handed out (none before the first read).
            if (retuned) {
                retuned = false;
                if (rxExpectedTimestamp_ != 0 && timestamp > rxExpectedTimestamp_) {
                    rxDiscardedSamples_.fetch_add(timestamp - rxExpectedTimestamp_, std::memory_order_relaxed);
                }
            }
            timestamped = rxMetadataEnabled_.load();
            withTimestamps = rxLibraryTimestamps_.load();
            if (two && timestamp != 0) {
                dropUntil = timestamp;
                countDropped = rxExpectedTimestamp_ == 0;
                timestamp = 0;
            }
            if (withTimestamps) {
                metadata.timestamp = timestamp;
                metadata.flags = timestamp == 0 ? BLADERF_META_FLAG_RX_NOW : 0;
            }
            if (target == nullptr) {
                target = rxScratch_.data();
            }
            // After a time-out the board may be silent or gone, and this read
            // may restart the library's stream: it goes ahead only once the
            // board answers (see BladeRfStreamTimeout.h).
            result = rxReadTimedOut_.load() ? detail::askBoard(device, BLADERF_RX) : 0;
            if (result == 0) {
                // Always an even count with two channels: the library does not check.
                result = api.syncRx(device, target, static_cast<unsigned>(two ? 2 * readSize : readSize),
                                    withTimestamps ? &metadata : nullptr, kReadTimeoutMs);
            }
            rxReadTimedOut_.store(result == BLADERF_ERR_TIMEOUT);
        }
        if (result == BLADERF_ERR_TIME_PAST && timestamp != 0) {
            // The board dropped the samples asked for before the library
            // fetched them (a reader late after a retune or after its last
            // read): a loss, counted, not the stream's end. A call that has
            // samples already ends with them, so that each call's samples
            // stay contiguous; otherwise it goes on with what comes next.
            // The samples from the one asked for on are the ones lost.
            countRxGap(true, 0);
            rxExpectedTimestamp_ = timestamp;
            if (done > 0) {
                return done;
            }
            timestamp = 0;
            continue;
        }
        // A read that fails or times out may have taken samples already; with
        // timestamps the library says how many, and they are the caller's.
        const bool failed = result < 0;
        std::size_t taken = readSize; // samples per channel the library read
        if (failed) {
            streamFailed(StreamDirection::rx, result);
            if (!withTimestamps || metadata.actual_count == 0) {
                return done;
            }
        }
        if (withTimestamps) {
            // The library took the whole read, surplus included; a short
            // count says where it stopped.
            const std::size_t actual = two ? metadata.actual_count / 2 : metadata.actual_count;
            taken = actual == 0 ? readSize : std::min(actual, readSize);
            if (actual != 0) {
                delivered = std::min(taken, remaining);
            }
            // A read of whatever comes next that starts past the sample due
            // resumes after a gap (the library flags only gaps within a read).
            // One that starts before it is a gap too: libbladeRF can hand out
            // its buffers out of order after it dropped some.
            const std::uint64_t expected = rxExpectedTimestamp_;
            if (dropUntil != 0) {
                // Past the point asked for: the samples from it on are lost.
                if (metadata.timestamp > dropUntil) {
                    countRxGap(false, metadata.timestamp - dropUntil);
                }
                skip =
                    metadata.timestamp < dropUntil ? std::min<std::uint64_t>(dropUntil - metadata.timestamp, taken) : 0;
                if (countDropped) {
                    rxDiscardedSamples_.fetch_add(skip, std::memory_order_relaxed);
                }
                delivered = std::min(taken - skip, remaining);
                if (metadata.timestamp + taken > dropUntil) {
                    dropUntil = 0;
                }
            } else if (timestamp == 0 && expected != 0 && metadata.timestamp != expected) {
                countRxGap(false, metadata.timestamp > expected ? metadata.timestamp - expected : 0);
            }
            rxGapCounted_ = false;
            rxExpectedTimestamp_ = metadata.timestamp + taken;
            if ((metadata.status & BLADERF_META_STATUS_OVERRUN) != 0) {
                // The samples after this read's are gone. A timestamped call
                // ends here (asking for them would only be refused as past);
                // a plain one reads on from where the samples resume.
                countRxGap(true, 0);
                gapFollows = timestamped;
            }
            // The next read asks for the sample right after this one,
            // surplus included, so the samples of one call are contiguous in
            // device time; a plain stream reads on from whatever comes next.
            timestamp = timestamped && !two ? rxExpectedTimestamp_ : 0;
            if (done == 0 && delivered > 0) {
                lastReadTickPlusOne_.store(metadata.timestamp + skip + 1, std::memory_order_relaxed);
                // A triggered stream's first sample is the one taken at the fire.
                if (rxTriggeredStart_.load(std::memory_order_relaxed) &&
                    triggeredStartTickPlusOne_.load(std::memory_order_relaxed) == 0) {
                    triggeredStartTickPlusOne_.store(metadata.timestamp + skip + 1, std::memory_order_relaxed);
                }
            }
        }
        // What the read took past the caller's count is never handed out:
        // a request that is not a whole multiple of the granularity loses
        // the rest of its last read, and says so.
        if (taken > skip + delivered) {
            rxDiscardedSamples_.fetch_add(taken - skip - delivered, std::memory_order_relaxed);
        }
        const std::int16_t* source = rxScratch_.data() + (two ? 4 : 2) * skip;
        if (two && samples != nullptr) {
            detail::convertSc16TwoChannelsToCf32(source, samples[0] + done, samples[1] + done, delivered);
        } else if (two) {
            detail::splitSc16TwoChannels(source, values[0] + 2 * done, values[1] + 2 * done, delivered);
        } else if (samples != nullptr) {
            detail::convertSc16ToCf32(source, samples[0] + done, delivered);
        } else if (target != values[0] + 2 * done) {
            std::memcpy(values[0] + 2 * done, source, delivered * 2 * sizeof(std::int16_t));
        }
        done += delivered;
        if (gapFollows || failed) {
            return done;
        }
    }
    return done;
}

void BladeRfSdrDevice::countRxGap(bool flagged, std::uint64_t lost)
{
    if (!rxGapCounted_) {
        rxOverrunCount_.fetch_add(1, std::memory_order_relaxed);
    }
    rxGapCounted_ = flagged;
    rxLostSamples_.fetch_add(lost, std::memory_order_relaxed);
}

bool BladeRfSdrDevice::discardSamplesBeforeNow()
{
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    // The reader sees the count move only after the point it is to read from
    // is posted (see receive), so it never reads on from the old point.
    struct CountChange {
        std::atomic<std::uint64_t>& changes;
        ~CountChange() { changes.fetch_add(1); }
    } countChange{rxRateChanges_};
    // A stream with timestamps asks for the board's samples from its counter now on.
    bladerf_timestamp now = 0;
    if (rxLibraryTimestamps_.load() && api.getTimestamp != nullptr && api.getTimestamp(device, BLADERF_RX, &now) == 0) {
        nextRxTimestamp_.store(now);
        return true;
    }
    // A plain stream cannot tell the samples apart: the library's stream
    // starts afresh, its buffers empty, in the format it had.
    nextRxTimestamp_.store(0);
    const auto format =
        rxLibraryTimestamps_.load() ? static_cast<bladerf_format>(api.metadataFormat) : BLADERF_FORMAT_SC16_Q11;
    int result = enableStreamChannels(StreamDirection::rx, false);
    if (result == 0) {
        result = api.syncConfig(device, static_cast<bladerf_channel_layout>(streamLayout(StreamDirection::rx)), format,
                                kStreamBuffers, kStreamBufferSamples, kStreamTransfers, kStreamTimeoutMs);
    }
    if (result == 0) {
        result = enableStreamChannels(StreamDirection::rx, true);
    }
    if (result != 0) {
        streamFailed(StreamDirection::rx, result);
        return false;
    }
    return true;
}

StreamLimits BladeRfSdrDevice::rxTransferLimits()
{
    StreamLimits limits;
    limits.readGranularity = kReadGranularity;
    limits.transferSamples = kLargestRead;
    return limits;
}

std::uint64_t BladeRfSdrDevice::rxOverrunCount() const
{
    return rxOverrunCount_.load(std::memory_order_relaxed);
}

std::uint64_t BladeRfSdrDevice::rxLostSamples() const
{
    return rxLostSamples_.load(std::memory_order_relaxed);
}

std::uint64_t BladeRfSdrDevice::rxDiscardedSamples() const
{
    return rxDiscardedSamples_.load(std::memory_order_relaxed);
}

} // namespace veltrano
