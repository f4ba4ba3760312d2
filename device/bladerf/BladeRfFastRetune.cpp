// SPDX-License-Identifier: MIT
// Retuning the receiver of BladeRfSdrDevice. libbladeRF hands out a quick-tune
// record for the frequency it is tuned to; retuning from such a record skips
// the synthesizer search and, on a timestamped stream, tells the reader from
// which sample on the data belongs to the new frequency. Records are cached by
// frequency in whole Hz; everything else falls back to a regular retune.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"
#include "device/bladerf/BladeRfSynthesizerLock.h"

namespace veltrano {
namespace {

using detail::kBladeRfRxChannel;

// Samples the front end needs to settle after a retune: half a millisecond,
// never fewer than 4096. Counted in device time, not in wall time.
std::uint64_t settleSamples(double sampleRateHz)
{
    const double halfMillisecond = 0.0005 * sampleRateHz;
    return halfMillisecond > 4096.0 ? static_cast<std::uint64_t>(halfMillisecond) : 4096;
}

} // namespace

bool BladeRfSdrDevice::supportsFastRxRetune() const
{
    const BladeRfApi& api = bladeRfApi();
    return api.scheduleRetune != nullptr && api.getQuickTune != nullptr && api.getTimestamp != nullptr;
}

bool BladeRfSdrDevice::prepareRxFrequencies(const std::vector<double>& frequenciesHz)
{
    // Unlocked use of the device and the cache is safe only while the receiver
    // is idle: a transmit stream beside it (full duplex) touches neither.
    if (!isOpen() || rxStreaming_.load() || excludedBy(txStreaming_)) {
        return false;
    }
    if (!supportsFastRxRetune()) {
        handle_->quickTunes.clear();
        return true;
    }
    if (frequenciesHz.empty()) {
        return true;
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    const double rememberedHz = rxFrequencyHz_;
    decltype(NativeHandle::quickTunes) prepared;
    prepared.reserve(frequenciesHz.size());
    bool complete = true;
    for (const double frequencyHz : frequenciesHz) {
        if (!detail::isUsableFrequency(frequencyHz)) {
            complete = false;
            break;
        }
        const std::uint64_t key = detail::wholeHz(frequencyHz);
        NativeHandle::QuickTuneEntry entry;
        if (api.setFrequency(device, kBladeRfRxChannel, key) < 0 ||
            api.getQuickTune(device, kBladeRfRxChannel, &entry.quickTune) < 0) {
            complete = false;
            break;
        }
        prepared.insert_or_assign(key, entry);
    }
    // Visiting the list moved the receiver; put it back where the client left it.
    const bool tunedBack =
        !(rememberedHz > 0.0) || api.setFrequency(device, kBladeRfRxChannel, detail::wholeHz(rememberedHz)) >= 0;
    if (!complete || !tunedBack) {
        handle_->quickTunes.clear();
        return false;
    }
    handle_->quickTunes = std::move(prepared);
    return true;
}

bool BladeRfSdrDevice::setRxFrequency(double frequencyHz)
{
    if (!isOpen() || excludedBy(txStreaming_) || !detail::isUsableFrequency(frequencyHz)) {
        return false;
    }
    // Never during a library read: the reader holds this around each one.
    const std::lock_guard lock(deviceMutex_);
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    const std::uint64_t key = detail::wholeHz(frequencyHz);
    auto& cache = handle_->quickTunes;
    const auto isTimestampedStream = [this] { return rxStreaming_.load() && rxMetadataEnabled_.load(); };

    bool quickRetuneFailed = false;
    const auto cached = cache.find(key);
    if (isTimestampedStream() && api.scheduleRetune != nullptr && api.getTimestamp != nullptr &&
        cached != cache.end()) {
        int result = api.scheduleRetune(device, kBladeRfRxChannel, 0, 0, &cached->second.quickTune);
        bladerf_timestamp now = 0;
        if (result >= 0) {
            result = api.getTimestamp(device, BLADERF_RX, &now);
        }
        if (result >= 0) {
            nextRxTimestamp_.store(now + settleSamples(actualRxSampleRateHz_));
            fastRxRetuneCount_.fetch_add(1);
            lastFastRxRetuneError_.store(0);
            rxFrequencyHz_ = frequencyHz;
            return true;
        }
        failedFastRxRetuneCount_.fetch_add(1);
        lastFastRxRetuneError_.store(result);
        quickRetuneFailed = true;
    }

    const int result = api.setFrequency(device, kBladeRfRxChannel, key);
    if (result < 0) {
        if (!quickRetuneFailed) {
            lastFastRxRetuneError_.store(result);
        }
        return false;
    }
    if (!detail::bladeRfSynthesizerLocked(api, device, detail::BladeRfSynthesizer::rx, bladeRf2Parts_)) {
        return refuse("RX synthesizer did not lock at " + std::to_string(key) + " Hz");
    }
    regularRxRetuneCount_.fetch_add(1);
    if (isTimestampedStream() && api.getTimestamp != nullptr) {
        bladerf_timestamp now = 0;
        if (api.getTimestamp(device, BLADERF_RX, &now) == 0) {
            nextRxTimestamp_.store(now + settleSamples(actualRxSampleRateHz_));
        }
    }
    // The next hop to this frequency can be a quick one.
    if (api.getQuickTune != nullptr) {
        NativeHandle::QuickTuneEntry entry;
        if (api.getQuickTune(device, kBladeRfRxChannel, &entry.quickTune) == 0) {
            cache.insert_or_assign(key, entry);
        }
    }
    rxFrequencyHz_ = frequencyHz;
    return true;
}

std::uint64_t BladeRfSdrDevice::fastRxRetuneCount() const
{
    return fastRxRetuneCount_.load();
}

std::uint64_t BladeRfSdrDevice::regularRxRetuneCount() const
{
    return regularRxRetuneCount_.load();
}

std::uint64_t BladeRfSdrDevice::failedFastRxRetuneCount() const
{
    return failedFastRxRetuneCount_.load();
}

int BladeRfSdrDevice::lastFastRxRetuneError() const
{
    return lastFastRxRetuneError_.load();
}

} // namespace veltrano
