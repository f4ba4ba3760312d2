// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfTransfers.h"

#include <array>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace veltrano {
namespace {

// Stands for "whichever board libhackrf finds first" in info().serial.
constexpr const char* kAnyBoardSerial = "HACKRF-USB";

// A board that re-enumerates after a close needs a moment on the bus; twelve
// tries a quarter second apart cover a firmware reset without hanging a
// caller for long when the board is really gone.
constexpr int kReopenAttempts = 12;
constexpr auto kReopenPause = std::chrono::milliseconds(250);

const char* serialArgument(const std::string& serial)
{
    return serial.empty() ? nullptr : serial.c_str();
}

} // namespace

HackRfSdrDevice::HackRfSdrDevice(std::string serial)
{
    const HackRfApi& api = hackRfApi();
    if (!api.loaded) {
        throw std::runtime_error("HackRF library is not available");
    }
    const int result = api.openBySerial(serialArgument(serial), &handle_->device);
    if (result != HACKRF_SUCCESS || handle_->device == nullptr) {
        handle_->device = nullptr;
        throw std::runtime_error("HackRF open failed: " + api.error(result));
    }
    info_.driver = "hackrf-native";
    info_.label = "HackRF One";
    info_.serial = serial.empty() ? kAnyBoardSerial : std::move(serial);
    info_.supportsRx = true;
    info_.supportsTx = api.startTx != nullptr && api.stopTx != nullptr && api.setTxvgaGain != nullptr;
    info_.familyFlag = true;
    readBoardVersions();
    findOperaCakes();
}

HackRfSdrDevice::~HackRfSdrDevice()
{
    stopTx();
    stopRx();
    if (isOpen()) {
        static_cast<void>(hackRfApi().close(handle_->device));
        handle_->device = nullptr;
    }
}

bool HackRfSdrDevice::isOpen() const
{
    return handle_ != nullptr && handle_->device != nullptr;
}

void HackRfSdrDevice::readBoardVersions()
{
    const HackRfApi& api = hackRfApi();
    if (api.versionStringRead != nullptr) {
        std::array<char, 256> text{};
        if (api.versionStringRead(handle_->device, text.data(), static_cast<std::uint8_t>(text.size() - 1)) ==
            HACKRF_SUCCESS) {
            firmwareVersion_ = text.data();
        }
    }
    if (api.usbApiVersionRead != nullptr) {
        static_cast<void>(api.usbApiVersionRead(handle_->device, &usbApiVersion_));
    }
}

bool HackRfSdrDevice::stepFailed(const char* step, int result)
{
    if (result == HACKRF_SUCCESS) {
        return false;
    }
    lastError_.set(std::string(step) + ": " + hackRfApi().error(result));
    return true;
}

DeviceInfo HackRfSdrDevice::info() const
{
    return info_;
}

std::string HackRfSdrDevice::lastError() const
{
    return lastError_.get();
}

NativeSampleFormat HackRfSdrDevice::nativeSampleFormat() const
{
    return NativeSampleFormat::cs8;
}

double HackRfSdrDevice::actualRxSampleRateHz() const
{
    return actualRxSampleRateHz_;
}

std::vector<FrequencyRangeHz> HackRfSdrDevice::rxFrequencyRanges() const
{
    return {{1'000'000.0, 6'000'000'000.0}};
}

std::vector<FrequencyRangeHz> HackRfSdrDevice::txFrequencyRanges() const
{
    if (!info_.supportsTx) {
        return {};
    }
    return {{1'000'000.0, 6'000'000'000.0}};
}

double HackRfSdrDevice::maximumRxSampleRateHz() const
{
    return detail::kHackRfHighestRateHz;
}

bool HackRfSdrDevice::supportsRxAmplifier() const
{
    return isOpen();
}

std::size_t HackRfSdrDevice::nativeSweepFftSize() const
{
    return 512;
}

std::string HackRfSdrDevice::firmwareVersion() const
{
    return firmwareVersion_;
}

std::uint16_t HackRfSdrDevice::usbApiVersion() const
{
    return usbApiVersion_;
}

std::uint64_t HackRfSdrDevice::rxDroppedBytes() const
{
    return rxDroppedBytes_.load(std::memory_order_relaxed);
}

bool HackRfSdrDevice::supportsRxOverflowPolicy() const
{
    return true;
}

bool HackRfSdrDevice::setRxOverflowPolicy(RxOverflowPolicy policy)
{
    rxOverflowPolicy_.store(policy, std::memory_order_relaxed);
    return true;
}

RxOverflowPolicy HackRfSdrDevice::rxOverflowPolicy() const
{
    return rxOverflowPolicy_.load(std::memory_order_relaxed);
}

StreamLosses HackRfSdrDevice::streamLosses() const
{
    StreamLosses losses;
    losses.rxOverruns = rxOverflowsReached();
    losses.rxDroppedBytes = rxDroppedBytes();
    losses.rxSkippedBytes = rxSkippedBytes();
    losses.rxDiscardedSamples = rxDiscardedSamples();
    losses.rxBoardShortfalls = rxBoardShortfalls();
    losses.rxBoardLongestShortfallBytes = rxBoardLongestShortfallBytes();
    losses.sweepDroppedBlocks = sweepDroppedBlocks();
    losses.txUnderruns = txUnderruns_.load(std::memory_order_relaxed);
    losses.txUnderrunBytes = txUnderrunBytes();
    losses.txBoardUnderruns = txBoardUnderruns();
    losses.txBoardLongestUnderrunBytes = txBoardLongestUnderrunBytes();
    return losses;
}

std::string HackRfSdrDevice::streamEnded(StreamDirection direction) const
{
    return streamEnds_.reason(direction);
}

void HackRfSdrDevice::streamStopped(StreamDirection direction, std::string reason)
{
    lastError_.set(reason);
    streamEnds_.ended(direction, std::move(reason));
}

StreamLimits HackRfSdrDevice::streamLimits(StreamDirection direction) const
{
    StreamLimits limits;
    limits.sampleRateRangesHz = {{detail::kHackRfLowestRateHz, detail::kHackRfHighestRateHz}};
    limits.transferSamples = detail::kHackRfTransferBytes / 2;
    limits.drainEndsStream = direction == StreamDirection::tx;
    return limits;
}

bool HackRfSdrDevice::setBoardLossLimit(StreamDirection direction, std::uint32_t bytes)
{
    return direction == StreamDirection::rx ? setRxOverrunLimit(bytes) : setTxUnderrunLimit(bytes);
}

std::optional<std::uint32_t> HackRfSdrDevice::boardLossLimit(StreamDirection direction) const
{
    return direction == StreamDirection::rx ? rxOverrunLimit() : txUnderrunLimit();
}

std::uint64_t HackRfSdrDevice::rxOverflowsReached() const
{
    return rxOverflowsReached_.load(std::memory_order_acquire);
}

std::uint64_t HackRfSdrDevice::rxOverflowBytesReached() const
{
    return rxGapBytesReached_.load(std::memory_order_relaxed);
}

std::uint64_t HackRfSdrDevice::rxSkippedBytes() const
{
    return rxSkippedBytes_.load(std::memory_order_relaxed);
}

std::uint64_t HackRfSdrDevice::rxDiscardedSamples() const
{
    return rxDiscardedBytes_.load(std::memory_order_relaxed) / 2;
}

std::uint64_t HackRfSdrDevice::sweepDroppedBlocks() const
{
    return sweepDroppedBlocks_.load(std::memory_order_relaxed);
}

std::uint64_t HackRfSdrDevice::txUnderrunBytes() const
{
    return txUnderrunBytes_.load(std::memory_order_relaxed);
}

bool HackRfSdrDevice::reopenDevice()
{
    if (!isOpen()) {
        lastError_.set("device reopen: device is not open");
        return false;
    }
    stopTx();
    stopRx();

    const HackRfApi& api = hackRfApi();
    const std::string serial = info_.serial == kAnyBoardSerial ? std::string() : info_.serial;
    const int closeResult = api.close(handle_->device);
    handle_->device = nullptr;
    actualRxSampleRateHz_ = 0.0;
    rxFrequencyHz_ = 0.0;

    int openResult = HACKRF_SUCCESS;
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        // sleep_for resumes after interruptions on its own, so every pause is whole.
        std::this_thread::sleep_for(kReopenPause);
        openResult = api.openBySerial(serialArgument(serial), &handle_->device);
        if (openResult == HACKRF_SUCCESS && handle_->device != nullptr) {
            firmwareVersion_.clear();
            usbApiVersion_ = 0;
            readBoardVersions();
            lastError_.clear();
            return true;
        }
        handle_->device = nullptr;
    }
    lastError_.set("device close/reopen failed (close: " + api.error(closeResult) +
                   ") (open: " + api.error(openResult) + ")");
    return false;
}

} // namespace veltrano
