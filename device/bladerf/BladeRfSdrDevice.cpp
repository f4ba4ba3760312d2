// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"
#include "device/bladerf/BladeRfSynthesizerLock.h"

#include <stdexcept>
#include <string_view>

namespace veltrano {
namespace {

using detail::kBladeRfRxChannel;
using detail::kBladeRfTxChannel;

using detail::bladeRfErrorText;

// A library range scaled to Hz (or samples per second), computed in double.
double scaled(std::int64_t value, float scale)
{
    return static_cast<double>(value) * static_cast<double>(scale);
}

// The library's one tunable range of a channel, in Hz; empty when it cannot tell.
std::vector<FrequencyRangeHz> frequencyRangeOf(bladerf* device, bladerf_channel channel)
{
    const bladerf_range* range = nullptr;
    if (bladeRfApi().getFrequencyRange(device, channel, &range) < 0 || range == nullptr) {
        return {};
    }
    return {{scaled(range->min, range->scale), scaled(range->max, range->scale)}};
}

} // namespace

BladeRfSdrDevice::BladeRfSdrDevice(std::string serial) : handle_(std::make_unique<NativeHandle>())
{
    const BladeRfApi& api = bladeRfApi();
    if (!api.loaded) {
        throw std::runtime_error("bladeRF library is not available");
    }
    // "*:serial=..." is libbladeRF's identifier for "any backend, this serial";
    // no identifier at all lets the library pick the first board.
    const std::string identifier = serial.empty() ? std::string() : "*:serial=" + serial;
    const int result = api.open(&handle_->device, serial.empty() ? nullptr : identifier.c_str());
    if (result < 0 || handle_->device == nullptr) {
        handle_->device = nullptr;
        throw std::runtime_error("bladeRF open failed: " + bladeRfErrorText(api, result));
    }
    const char* boardName = api.getBoardName(handle_->device);
    // The bladeRF 2.0's AD9361 derives both directions' rates from one clock.
    sharedSampleClock_ = boardName != nullptr && std::string_view(boardName) == "bladerf2";
    // The bladeRF1 has neither the AD9361's registers nor bias tees, and
    // libbladeRF logs an error for each question about them: it is not asked.
    bladeRf2Parts_ = boardName == nullptr || std::string_view(boardName) != "bladerf1";
    if (!detail::bladeRfSynthesizerLocked(api, handle_->device, detail::BladeRfSynthesizer::baseband, bladeRf2Parts_)) {
        api.close(handle_->device);
        handle_->device = nullptr;
        throw std::runtime_error("bladeRF open failed: the baseband PLL did not lock");
    }
    info_.driver = "bladerf-native";
    info_.label = boardName != nullptr && boardName[0] != '\0' ? boardName : "Nuand bladeRF";
    info_.serial = serial.empty() ? "BLADERF-USB" : std::move(serial);
    channelCounts_[0] = api.getChannelCount(handle_->device, BLADERF_RX);
    channelCounts_[1] = api.getChannelCount(handle_->device, BLADERF_TX);
    info_.supportsRx = channelCounts_[0] != 0;
    info_.supportsTx = channelCounts_[1] != 0 && api.syncTx != nullptr;
    info_.familyFlag = false;
}

BladeRfSdrDevice::~BladeRfSdrDevice()
{
    stopTx();
    stopRx();
    if (isOpen()) {
        bladeRfApi().close(handle_->device);
        handle_->device = nullptr;
    }
}

bool BladeRfSdrDevice::isOpen() const
{
    return handle_ != nullptr && handle_->device != nullptr;
}

std::string BladeRfSdrDevice::lastError() const
{
    const std::lock_guard lock(lastErrorMutex_);
    return lastError_;
}

void BladeRfSdrDevice::streamFailed(StreamDirection direction, int code)
{
    // A time-out only says that nothing came (or went) in time.
    if (code == BLADERF_ERR_TIMEOUT) {
        return;
    }
    const std::string reason = bladeRfErrorText(bladeRfApi(), code);
    const std::string rxText = "RX stream stopped: " + reason;
    const std::string txText = "TX stream stopped: " + reason;
    std::string text = direction == StreamDirection::rx ? rxText : txText;
    streamEnds_.ended(direction, text);
    const bool gone = code == BLADERF_ERR_NODEV;
    // A board that left ends both streams of a full-duplex pair, and each
    // direction's caller finds its own words in the one text.
    if (gone && rxStreaming_.load() && txStreaming_.load()) {
        text = rxText + "; " + txText;
        streamEnds_.ended(StreamDirection::rx, rxText);
        streamEnds_.ended(StreamDirection::tx, txText);
    }
    const std::lock_guard lock(lastErrorMutex_);
    lastError_ = std::move(text);
    if (gone) {
        boardGone_.store(true, std::memory_order_release);
    }
}

void BladeRfSdrDevice::clearStreamFailure()
{
    const std::lock_guard lock(lastErrorMutex_);
    lastError_.clear();
    boardGone_.store(false, std::memory_order_release);
}

StreamLosses BladeRfSdrDevice::streamLosses() const
{
    StreamLosses losses;
    losses.rxOverruns = rxOverrunCount();
    losses.rxLostSamples = rxLostSamples();
    losses.rxDiscardedSamples = rxDiscardedSamples();
    losses.txUnderruns = txUnderruns_.load(std::memory_order_relaxed);
    return losses;
}

std::string BladeRfSdrDevice::streamEnded(StreamDirection direction) const
{
    return streamEnds_.reason(direction);
}

StreamLimits BladeRfSdrDevice::streamLimits(StreamDirection direction) const
{
    StreamLimits limits =
        direction == StreamDirection::rx ? rxTransferLimits() : txTransferLimits(streamedChannels_[1].load());
    const std::optional<int> channel = channelOf(direction);
    const bladerf_range* range = nullptr;
    if (isOpen() && channel && bladeRfApi().getSampleRateRange(handle_->device, *channel, &range) >= 0 &&
        range != nullptr) {
        limits.sampleRateRangesHz = {{scaled(range->min, range->scale), scaled(range->max, range->scale)}};
    }
    return limits;
}

DeviceInfo BladeRfSdrDevice::info() const
{
    return info_;
}

NativeSampleFormat BladeRfSdrDevice::nativeSampleFormat() const
{
    return NativeSampleFormat::sc16Q11;
}

double BladeRfSdrDevice::actualRxSampleRateHz() const
{
    return actualRxSampleRateHz_;
}

double BladeRfSdrDevice::maximumRxSampleRateHz() const
{
    if (!isOpen()) {
        return 0.0;
    }
    const bladerf_range* range = nullptr;
    if (bladeRfApi().getSampleRateRange(handle_->device, kBladeRfRxChannel, &range) < 0 || range == nullptr) {
        return 0.0;
    }
    return scaled(range->max, range->scale);
}

std::vector<FrequencyRangeHz> BladeRfSdrDevice::rxFrequencyRanges() const
{
    if (!isOpen()) {
        return {};
    }
    return frequencyRangeOf(handle_->device, kBladeRfRxChannel);
}

std::vector<FrequencyRangeHz> BladeRfSdrDevice::txFrequencyRanges() const
{
    if (!isOpen() || !info_.supportsTx) {
        return {};
    }
    return frequencyRangeOf(handle_->device, kBladeRfTxChannel);
}

} // namespace veltrano
