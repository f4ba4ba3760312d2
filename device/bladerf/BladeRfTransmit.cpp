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
// Silence that completes the partial buffer and then turns the library's
// ring of buffers once: the last write waits for the buffer that held the
// last of the client's samples to come back from the board.
constexpr std::uint64_t kRingTurnSamples = std::uint64_t{kStreamBuffers - 1} * kStreamBufferSamples + 1;

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
    if (!isOpen() || !info_.supportsTx || rxStreaming_.load() || txStreaming_.load() ||
        !detail::isUsableSampleRate(config.sampleRateHz) || !detail::isUsableFrequency(config.frequencyHz)) {
        return false;
    }
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
        api.setGain(device, kBladeRfTxChannel, detail::wholeDb(config.gainDb)) < 0) {
        return false;
    }
    txSampleRateHz_.store(actualRate);
    bandwidthHz_[1].store(static_cast<double>(actualBandwidth));
    txConfigured_ = true;
    return true;
}

bool BladeRfSdrDevice::startTx()
{
    if (!txConfigured_ || !isOpen() || !info_.supportsTx || rxStreaming_.load()) {
        return false;
    }
    if (txStreaming_.exchange(true)) {
        return !txTimed_.load();
    }
    clearStreamFailure();
    txSamplesQueued_.store(0);
    txSamplesDrained_ = 0;
    const BladeRfApi& api = bladeRfApi();
    if (api.syncConfig(handle_->device, BLADERF_TX_X1, BLADERF_FORMAT_SC16_Q11, kStreamBuffers, kStreamBufferSamples,
                       kStreamTransfers, kTimeoutMs) < 0 ||
        api.enableModule(handle_->device, kBladeRfTxChannel, true) < 0) {
        txStreaming_.store(false);
        return false;
    }
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
    const std::uint64_t partial = queued % kStreamBufferSamples;
    std::uint64_t silence = (partial == 0 ? 0 : kStreamBufferSamples - partial) + kRingTurnSamples;
    const unsigned timeoutMs = drainTimeoutMs(txSampleRateHz_.load());
    while (silence > 0) {
        if (stop.stop_requested() || !txStreaming_.load()) {
            return false;
        }
        // Each write ends at a buffer's end, as the library's buffers do.
        const std::uint64_t room = kStreamBufferSamples - txSamplesQueued_.load() % kStreamBufferSamples;
        const auto count = static_cast<unsigned>(std::min(silence, room));
        if (!sendToLibrary(txScratch_.data(), count, timeoutMs)) {
            return false;
        }
        silence -= count;
    }
    txSamplesDrained_ = txSamplesQueued_.load();
    return true;
}

void BladeRfSdrDevice::stopTx()
{
    if (txStreaming_.exchange(false) && isOpen()) {
        static_cast<void>(bladeRfApi().enableModule(handle_->device, kBladeRfTxChannel, false));
    }
    const std::lock_guard scratchLock(txScratchMutex_);
    txScratch_.clear(); // keeps the capacity for the next start
    // A burst still open ends where it stands: what the library holds of it is not sent.
    txBurst_ = {};
    txTimed_.store(false);
}

std::size_t BladeRfSdrDevice::writeSamples(const std::complex<float>* samples, std::size_t count)
{
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

bool BladeRfSdrDevice::sendToLibrary(const void* values, std::size_t count, unsigned timeoutMs)
{
    int result = bladeRfApi().syncTx(handle_->device, values, static_cast<unsigned>(count), nullptr, timeoutMs);
    if (result == BLADERF_ERR_TIMEOUT) {
        // Full buffers, or a stream that ended unseen (see BladeRfStreamTimeout.h).
        const int board = detail::askBoard(handle_->device, BLADERF_TX);
        result = board == 0 ? result : board;
    }
    if (result != 0) {
        streamFailed("TX stream stopped", result);
        return false;
    }
    txSamplesQueued_.fetch_add(count);
    return true;
}

} // namespace veltrano
