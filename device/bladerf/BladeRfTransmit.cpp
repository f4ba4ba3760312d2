// SPDX-License-Identifier: MIT
// Transmit path of BladeRfSdrDevice: the first transmit channel's settings
// and libbladeRF's synchronous transmit stream in the SC16 Q11 format. The
// samples queue inside the library; the drain pushes them out with silence.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"
#include "device/bladerf/BladeRfStreamTimeout.h"
#include "device/bladerf/BladeRfSynthesizerLock.h"

#include <algorithm>

namespace veltrano {
namespace {

using detail::kBladeRfTxChannel;

constexpr unsigned kStreamBuffers = 32;
constexpr unsigned kStreamBufferSamples = 65536;
constexpr unsigned kStreamTransfers = 16;
constexpr unsigned kTimeoutMs = 250; // the stream's and each write's
// One write fills one stream buffer; the caller sends the rest through the returned count.
constexpr std::size_t kLargestWrite = kStreamBufferSamples;
// The timestamped format spends 16 bytes of every 2048-byte message on its
// header, so a buffer of the same bytes holds fewer samples.
constexpr unsigned kMessageSamples = 508;
constexpr unsigned kMessagesPerBuffer = kStreamBufferSamples * 4 / 2048;
constexpr unsigned kTimestampedBufferSamples = kMessagesPerBuffer * kMessageSamples;

// Samples one library buffer holds in the stream's format.
std::uint64_t bufferSamples(bool timestamped)
{
    return timestamped ? kTimestampedBufferSamples : kStreamBufferSamples;
}

// Silence that completes the partial buffer and then turns the library's
// ring of buffers once: the last write waits for the buffer that held the
// last of the client's samples to come back from the board.
std::uint64_t ringTurnSamples(bool timestamped)
{
    return std::uint64_t{kStreamBuffers - 1} * bufferSamples(timestamped) + 1;
}

// A drain's write may wait for a whole buffer to leave the board, which
// takes longer than the writes' time-out at the lowest rates.
unsigned drainTimeoutMs(double sampleRateHz)
{
    const double bufferMs = sampleRateHz > 0.0 ? 1000.0 * kStreamBufferSamples / sampleRateHz : 0.0;
    return kTimeoutMs + static_cast<unsigned>(std::min(2.0 * bufferMs, 60'000.0));
}

} // namespace

bool BladeRfSdrDevice::configureTx(const StreamConfig& config)
{
    txConfigured_ = false;
    if (!isOpen() || !info_.supportsTx || excludedBy(rxStreaming_) || txStreaming_.load() ||
        !detail::isUsableSampleRate(config.sampleRateHz) || !detail::isUsableFrequency(config.frequencyHz) ||
        rateClashes(StreamDirection::tx, config.sampleRateHz)) {
        return false;
    }
    // Beside a running receive stream (full duplex), never during one of its library reads.
    const std::lock_guard lock(deviceMutex_);
    const auto ranges = txFrequencyRanges();
    if (ranges.empty() || !frequencyRangesCover(ranges, config.frequencyHz, config.frequencyHz + 1.0)) {
        return false;
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    bladerf_sample_rate actualRate = 0;
    bladerf_bandwidth actualBandwidth = 0;
    if (api.setSampleRate(device, kBladeRfTxChannel, detail::wholeSampleRate(config.sampleRateHz), &actualRate) < 0 ||
        api.setFrequency(device, kBladeRfTxChannel, detail::wholeHz(config.frequencyHz)) < 0 ||
        api.setBandwidth(device, kBladeRfTxChannel, detail::filterBandwidth(config.bandwidthHz, actualRate),
                         &actualBandwidth) < 0 ||
        api.setGain(device, streamChannel(StreamDirection::tx), detail::wholeDb(config.gainDb)) < 0) {
        return false;
    }
    if (!detail::bladeRfSynthesizerLocked(api, device, detail::BladeRfSynthesizer::tx, bladeRf2Parts_)) {
        return refuse("TX synthesizer did not lock at " + std::to_string(detail::wholeHz(config.frequencyHz)) + " Hz");
    }
    txSampleRateHz_.store(actualRate);
    bandwidthHz_[1].store(static_cast<double>(actualBandwidth));
    keepConfiguredGain(StreamDirection::tx, config.gainDb);
    txConfigured_ = true;
    return true;
}

bool BladeRfSdrDevice::startTx()
{
    if (!txConfigured_ || !isOpen() || !info_.supportsTx || excludedBy(rxStreaming_)) {
        return false;
    }
    // An armed trigger: the stream starts only on a board that will hold it.
    if (!txStreaming_.load() && !readyForTriggeredStart(StreamDirection::tx)) {
        return false;
    }
    if (txStreaming_.exchange(true)) {
        return !txTimed_.load();
    }
    streamEnds_.clear(StreamDirection::tx);
    txUnderruns_.store(0, std::memory_order_relaxed);
    // A failure the receive stream met stays to be read while it runs.
    if (!rxStreaming_.load()) {
        clearStreamFailure();
    }
    txSamplesQueued_.store(0);
    txSamplesDrained_ = 0;
    txBurstOpen_.store(false);
    const BladeRfApi& api = bladeRfApi();
    // libbladeRF takes timestamps in both directions or in neither: beside a
    // receive stream that carries them, the transmit stream carries them too
    // (one burst sent "now", so the samples go out just as plain ones would).
    const bool timestamped = rxStreaming_.load() && rxLibraryTimestamps_.load();
    const auto format = timestamped ? static_cast<bladerf_format>(api.metadataFormat) : BLADERF_FORMAT_SC16_Q11;
    txTimestamps_.store(timestamped);
    std::unique_lock lock(deviceMutex_);
    if (api.syncConfig(handle_->device, static_cast<bladerf_channel_layout>(streamLayout(StreamDirection::tx)), format,
                       kStreamBuffers, kStreamBufferSamples, kStreamTransfers, kTimeoutMs) < 0 ||
        enableStreamChannels(StreamDirection::tx, true) < 0) {
        txStreaming_.store(false);
        return false;
    }
    lock.unlock();
    // Reserved once per stream, so writes do not allocate.
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.reserve(2 * kLargestWrite);
    return true;
}

bool BladeRfSdrDevice::drainTx(std::stop_token stop)
{
    if (stop.stop_requested()) {
        return false;
    }
    if (txTimed_.load()) {
        return drainTimedTx(stop);
    }
    const BladeRfApi& api = bladeRfApi();
    const std::lock_guard scratchLock(txScratchMutex_);
    const std::uint64_t queued = txSamplesQueued_.load();
    if (queued == txSamplesDrained_ || !txStreaming_.load()) {
        return true; // nothing written since the last drain, or nothing left to send it with
    }
    if (!isOpen() || api.syncTx == nullptr || boardGone()) {
        return false;
    }
    txScratch_.assign(2 * kLargestWrite, 0); // within the capacity startTx reserved
    const bool timestamped = txTimestamps_.load();
    const std::uint64_t buffer = bufferSamples(timestamped);
    const std::uint64_t partial = queued % buffer;
    std::uint64_t silence = (partial == 0 ? 0 : buffer - partial) + ringTurnSamples(timestamped);
    // Two channels take whole pairs: every write's count stays even.
    if (streamedChannels_[1].load() == 2) {
        silence += silence % 2;
    }
    const unsigned timeoutMs = drainTimeoutMs(txSampleRateHz_.load());
    while (silence > 0) {
        if (stop.stop_requested() || !txStreaming_.load()) {
            return false;
        }
        // Each write ends at a buffer's end, as the library's buffers do.
        const std::uint64_t room = buffer - txSamplesQueued_.load() % buffer;
        const auto count = static_cast<unsigned>(std::min(silence, room));
        if (!sendToLibrary(txScratch_.data(), count, timeoutMs)) {
            return false;
        }
        silence -= count;
    }
    txSamplesDrained_ = txSamplesQueued_.load();
    return true;
}

StreamLimits BladeRfSdrDevice::txTransferLimits(std::size_t channels)
{
    StreamLimits limits;
    limits.transferSamples = channels == 2 ? kLargestWrite / 2 : kLargestWrite;
    return limits;
}

void BladeRfSdrDevice::stopTx()
{
    streamEnds_.clear(StreamDirection::tx);
    if (txStreaming_.exchange(false) && isOpen()) {
        const std::lock_guard lock(deviceMutex_);
        static_cast<void>(enableStreamChannels(StreamDirection::tx, false));
    }
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.clear(); // keeps the capacity for the next start
    // A burst still open ends where it stands: what the library holds of it is not sent.
    txBurst_ = {};
    txTimed_.store(false);
}

std::size_t BladeRfSdrDevice::writeSamples(const std::complex<float>* samples, std::size_t count)
{
    if (refusedSingleBuffer(StreamDirection::tx)) {
        return 0;
    }
    if (txTimed_.load()) {
        return samples == nullptr || count == 0 ? 0 : writeTimed(samples, nullptr, count, {});
    }
    const BladeRfApi& api = bladeRfApi();
    if (samples == nullptr || count == 0 || !txStreaming_.load() || !isOpen() || api.syncTx == nullptr || boardGone()) {
        return 0;
    }
    const std::size_t taken = std::min(count, kLargestWrite);
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.resize(2 * taken);
    detail::convertCf32ToSc16(samples, txScratch_.data(), taken);
    return sendToLibrary(txScratch_.data(), taken, kTimeoutMs) ? taken : 0;
}

std::size_t BladeRfSdrDevice::writeNativeSamples(const void* samples, std::size_t count)
{
    if (refusedSingleBuffer(StreamDirection::tx)) {
        return 0;
    }
    if (txTimed_.load()) {
        return samples == nullptr || count == 0 ? 0 : writeTimed(nullptr, samples, count, {});
    }
    const BladeRfApi& api = bladeRfApi();
    if (samples == nullptr || count == 0 || !txStreaming_.load() || !isOpen() || api.syncTx == nullptr || boardGone()) {
        return 0;
    }
    // The caller's values go to the library as they are: no staging, so no
    // buffer a stop could pull away, and nothing to lock.
    const std::size_t taken = std::min(count, kLargestWrite);
    return sendToLibrary(samples, taken, kTimeoutMs) ? taken : 0;
}

std::size_t BladeRfSdrDevice::writeChannelSamples(const std::complex<float>* const* buffers, std::size_t count)
{
    return streamedChannels_[1].load() == 1 ? (buffers == nullptr ? 0 : writeSamples(buffers[0], count))
                                            : writeChannels(buffers, nullptr, count);
}

std::size_t BladeRfSdrDevice::writeNativeChannelSamples(const void* const* buffers, std::size_t count)
{
    return streamedChannels_[1].load() == 1 ? (buffers == nullptr ? 0 : writeNativeSamples(buffers[0], count))
                                            : writeChannels(nullptr, buffers, count);
}

std::size_t BladeRfSdrDevice::writeChannels(const std::complex<float>* const* samples, const void* const* values,
                                            std::size_t count)
{
    const BladeRfApi& api = bladeRfApi();
    const bool missing = samples != nullptr ? samples[0] == nullptr || samples[1] == nullptr
                                            : values == nullptr || values[0] == nullptr || values[1] == nullptr;
    if (missing || count == 0 || !txStreaming_.load() || !isOpen() || api.syncTx == nullptr || boardGone()) {
        return 0;
    }
    // One write fills one library buffer with pairs, as one channel's does with samples.
    const std::size_t taken = std::min(count, kLargestWrite / 2);
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.resize(4 * taken); // within the capacity startTx reserved
    if (samples != nullptr) {
        detail::convertCf32ToSc16TwoChannels(samples[0], samples[1], txScratch_.data(), taken);
    } else {
        detail::joinSc16TwoChannels(static_cast<const std::int16_t*>(values[0]),
                                    static_cast<const std::int16_t*>(values[1]), txScratch_.data(), taken);
    }
    return sendToLibrary(txScratch_.data(), 2 * taken, kTimeoutMs) ? taken : 0;
}

bool BladeRfSdrDevice::sendToLibrary(const void* values, std::size_t count, unsigned timeoutMs)
{
    // A timestamped stream's writes form one burst, started "now" by the first.
    bladerf_metadata metadata{};
    const bool timestamped = txTimestamps_.load();
    if (timestamped && !txBurstOpen_.load()) {
        metadata.flags = BLADERF_META_FLAG_TX_BURST_START | BLADERF_META_FLAG_TX_NOW;
    }
    int result = bladeRfApi().syncTx(handle_->device, values, static_cast<unsigned>(count),
                                     timestamped ? &metadata : nullptr, timeoutMs);
    if (result == 0 && timestamped) {
        txBurstOpen_.store(true);
    }
    if (result == BLADERF_ERR_TIMEOUT) {
        // Full buffers, or a stream that ended unseen (see BladeRfStreamTimeout.h).
        // The write itself holds no lock: beside a running receive stream it
        // may wait for the library's buffers without holding up a read.
        const std::lock_guard lock(deviceMutex_);
        const int board = detail::askBoard(handle_->device, BLADERF_TX);
        result = board == 0 ? result : board;
    }
    if (result != 0) {
        streamFailed(StreamDirection::tx, result);
        return false;
    }
    txSamplesQueued_.fetch_add(count);
    return true;
}

} // namespace veltrano
