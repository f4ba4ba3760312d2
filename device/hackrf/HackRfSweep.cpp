// SPDX-License-Identifier: MIT
// The native sweep of HackRfSdrDevice: the board's firmware steps across a
// range by itself and streams one 16384-byte block per step, marked and
// tagged with the step's frequency. The receive callback hands sweep
// transfers here; marked blocks queue in the SweepBuffer and leave it one at a
// time as NativeSweepBlock records.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/SampleConversion.h"
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfFilters.h"
#include "device/hackrf/HackRfRings.h"
#include "device/hackrf/HackRfTransfers.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace veltrano {
namespace {

constexpr std::uint32_t kBlockBytes = HackRfSdrDevice::SweepBuffer::kBlockBytes;
constexpr std::size_t kFftSize = 512;
// The samples of a block that feed the FFT: its last 1024 bytes.
constexpr std::size_t kFftBytesOffset = kBlockBytes - 2 * kFftSize;
// Highest step end the board can tune to, in MHz.
constexpr std::uint32_t kHighestSweepMHz = 6000;
// Older firmware accepts a sweep plan from USB API 0x0102 on but refuses to
// start the sweep below 0x0104, so the sweep is offered from there.
constexpr std::uint16_t kSweepUsbApi = 0x0104;
// A stalled sweep gets a moment to settle before it is started again.
constexpr auto kRecoveryPause = std::chrono::milliseconds(100);

bool isMarked(const std::uint8_t* block)
{
    return block[0] == 0x7F && block[1] == 0x7F;
}

} // namespace

bool HackRfSdrDevice::supportsNativeSweep() const
{
    const HackRfApi& api = hackRfApi();
    return isOpen() && usbApiVersion_ >= kSweepUsbApi && api.initSweep != nullptr && api.startRxSweep != nullptr;
}

bool HackRfSdrDevice::configureNativeSweep(const StreamConfig& config, double startHz, double stopHz)
{
    lastError_.clear();
    sweepConfigured_ = false;
    if (!supportsNativeSweep() || rxStreaming_.load() || txStreaming_.load() || !std::isfinite(startHz) ||
        !std::isfinite(stopHz) || startHz < 1'000'000.0 || stopHz > 6'000'000'000.0 || !(startHz < stopHz)) {
        lastError_.set("invalid native sweep configuration");
        return false;
    }

    // The step width follows the sample rate; each step is tuned three eighths
    // of a width above its start, which puts the usable quarters of the band
    // clear of the DC spike in the middle.
    const double rate = config.sampleRateHz;
    if (!std::isfinite(rate)) {
        sweepSampleRateHz_ = 10'000'000.0;
        sweepStepWidthHz_ = 10'000'000.0;
    } else if (rate < 2'000'000.0) {
        sweepSampleRateHz_ = 2'000'000.0;
        sweepStepWidthHz_ = 2'000'000.0;
    } else if (rate > 20'000'000.0) {
        sweepSampleRateHz_ = 20'000'000.0;
        sweepStepWidthHz_ = 20'000'000.0;
    } else {
        sweepSampleRateHz_ = rate;
        sweepStepWidthHz_ = std::round(rate);
    }
    sweepOffsetHz_ = 0.375 * sweepStepWidthHz_;

    const auto startMHz = static_cast<std::uint16_t>(std::floor(startHz / 1'000'000.0));
    const auto stopMHz = static_cast<std::uint16_t>(std::ceil(stopHz / 1'000'000.0));
    const double firstStepHz = startMHz * 1'000'000.0;
    auto widths = static_cast<std::uint32_t>(std::ceil((stopMHz * 1'000'000.0 - firstStepHz) / sweepStepWidthHz_));
    widths = std::max<std::uint32_t>(widths, 1);
    const auto endMHz = static_cast<std::uint32_t>(std::ceil((widths * sweepStepWidthHz_ + firstStepHz) / 1'000'000.0));
    if (endMHz > kHighestSweepMHz) {
        lastError_.set("native sweep range exceeds HackRF limit");
        return false;
    }
    const std::uint16_t frequencies[2] = {startMHz, static_cast<std::uint16_t>(endMHz)};
    sweepStartHz_ = std::uint64_t{startMHz} * 1'000'000;
    sweepConfig_ = config;
    sweepRangeStartHz_ = startHz;
    sweepRangeStopHz_ = stopHz;
    holdRxGain(config.gainDb);

    const HackRfApi& api = hackRfApi();
    hackrf_device* device = handle_->device;
    if (stepFailed("set native sweep sample rate", api.setSampleRate(device, sweepSampleRateHz_)) ||
        (api.setRxOverrunLimit != nullptr && usbApiVersion_ > 0x0105 &&
         stepFailed("disable native sweep overrun limit", api.setRxOverrunLimit(device, 0))) ||
        stepFailed("set LNA gain", api.setLnaGain(device, lnaGainDb_)) ||
        stepFailed("set VGA gain", api.setVgaGain(device, vgaGainDb_)) ||
        stepFailed("set RF amplifier", api.setAmpEnable(device, rxAmplifierEnabled_ ? 1 : 0)) ||
        stepFailed("initialize native sweep",
                   api.initSweep(device, frequencies, 1, kBlockBytes, static_cast<std::uint32_t>(sweepStepWidthHz_),
                                 static_cast<std::uint32_t>(sweepOffsetHz_), INTERLEAVED))) {
        return false;
    }
    sweepConfigured_ = true;
    actualRxSampleRateHz_ = sweepSampleRateHz_;
    // The sweep keeps the filter the library set with the rate.
    rxFilterHz_.store(detail::hackRfFilterLibraryPicksAt(sweepSampleRateHz_));
    rxFrequencyHz_ = (startHz + stopHz) / 2.0;
    return true;
}

bool HackRfSdrDevice::startNativeSweep()
{
    lastError_.clear();
    if (!sweepConfigured_ || !supportsNativeSweep() || txStreaming_.load()) {
        lastError_.set("native sweep is not configured");
        return false;
    }
    if (armedSlave(StreamDirection::rx)) {
        return refuseSync(StreamDirection::rx, "a sweep does not wait for the sync pulse; disarm the trigger first");
    }
    if (rxStreaming_.load()) {
        return true; // a sweep or ordinary reception already runs
    }
    if (!syncModeForStart(StreamDirection::rx) || rxStreaming_.exchange(true)) {
        return rxStreaming_.load();
    }
    streamEnds_.clear(StreamDirection::rx);
    sweepDroppedBlocks_.store(0, std::memory_order_relaxed);
    std::atomic_store(&sweepBuffer_, std::make_shared<SweepBuffer>());
    sweepActive_.store(true, std::memory_order_release);
    const HackRfApi& api = hackRfApi();
    const int result = api.startRxSweep(
        handle_->device, [](hackrf_transfer* transfer) { return receiveCallback(transfer); }, this);
    if (result == HACKRF_SUCCESS) {
        return true;
    }
    sweepActive_.store(false, std::memory_order_release);
    rxStreaming_.exchange(false);
    std::atomic_store(&sweepBuffer_, std::shared_ptr<SweepBuffer>());
    lastError_.set("start native sweep: " + api.error(result));
    return false;
}

void HackRfSdrDevice::takeSweepTransfer(const std::uint8_t* buffer, std::size_t validBytes)
{
    const std::shared_ptr<SweepBuffer> queue = std::atomic_load(&sweepBuffer_);
    if (buffer == nullptr || !queue) {
        return;
    }
    // Whole blocks only; a trailing partial block carries no usable step.
    for (std::size_t offset = 0; offset + kBlockBytes <= validBytes; offset += kBlockBytes) {
        if (isMarked(buffer + offset) && !queue->write(buffer + offset)) {
            sweepDroppedBlocks_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

bool HackRfSdrDevice::readNativeSweepBlock(NativeSweepBlock& block)
{
    if (!sweepActive_.load(std::memory_order_acquire)) {
        return false;
    }
    const std::shared_ptr<SweepBuffer> queue = std::atomic_load(&sweepBuffer_);
    if (!queue) {
        return false;
    }
    // Copied out first, so the slot is free again before the conversion.
    SweepBuffer::Entry entry;
    if (!queue->read(entry)) {
        const HackRfApi& api = hackRfApi();
        if (api.isStreaming != nullptr && isOpen()) {
            const int alive = api.isStreaming(handle_->device);
            if (alive != HACKRF_TRUE) {
                streamStopped(StreamDirection::rx, "native sweep stopped: " + api.error(alive));
            }
        }
        return false;
    }
    const auto stepHz = static_cast<double>(entry.frequencyHz);
    const double quarter = sweepStepWidthHz_ / 4.0;
    block.centerFrequencyHz = stepHz + sweepOffsetHz_;
    block.sampleRateHz = sweepSampleRateHz_;
    block.sweepStart = entry.frequencyHz == sweepStartHz_;
    // The usable quarters of the step's band: the first and the third.
    block.validRanges.clear();
    for (const double lowHz : {stepHz, stepHz + 2.0 * quarter}) {
        const FrequencyRangeHz range{std::max(sweepRangeStartHz_, lowHz), std::min(sweepRangeStopHz_, lowHz + quarter)};
        if (range.maximumHz > range.minimumHz) {
            block.validRanges.push_back(range);
        }
    }
    block.samples.resize(kFftSize);
    detail::convertCs8ToCf32(
        reinterpret_cast<const std::int8_t*>(entry.data.data() + kFftBytesOffset - SweepBuffer::kHeaderBytes),
        block.samples.data(), kFftSize);
    return true;
}

bool HackRfSdrDevice::recoverNativeSweep()
{
    if (!isOpen() || !(sweepRangeStartHz_ > 0.0 && sweepRangeStartHz_ < sweepRangeStopHz_)) {
        return false;
    }
    const StreamConfig config = sweepConfig_;
    const double startHz = sweepRangeStartHz_;
    const double stopHz = sweepRangeStopHz_;
    stopRx();
    std::this_thread::sleep_for(kRecoveryPause);
    if (configureNativeSweep(config, startHz, stopHz) && startNativeSweep()) {
        return true;
    }
    const std::string firstFailure = lastError_.get();
    if (!reopenDevice()) {
        lastError_.set(firstFailure + "; reopen: " + lastError_.get());
        return false;
    }
    if (configureNativeSweep(config, startHz, stopHz) && startNativeSweep()) {
        return true;
    }
    lastError_.set(firstFailure + "; reopened retry: " + lastError_.get());
    return false;
}

} // namespace veltrano
