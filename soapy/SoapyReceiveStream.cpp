// SPDX-License-Identifier: MIT
// Reads: samples, in the client's format, with the board's time where it
// stamps them; a loss reported in its place; native sweep blocks.
#include "soapy/StreamState.h"
#include "soapy/SettingText.h"

#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <cstring>
#include <utility>

namespace veltrano::soapy {

void SoapyDevice::flagDiscards(StreamState& stream, int& flags) const
{
    const std::uint64_t now = rxDiscardedSamples();
    if (now != stream.discardsReported) {
        stream.discardsReported = now;
        flags |= kDiscardedBeforeFlag;
    }
}

int SoapyDevice::readStream(SoapySDR::Stream* handle, void* const* buffs, size_t numElems, int& flags,
                            long long& timeNs, long timeoutUs)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    flags = 0;
    timeNs = 0;
    if (stream.direction != SOAPY_SDR_RX) {
        return SOAPY_SDR_STREAM_ERROR;
    }
    if (!rxActiveWithin(timeoutUs)) {
        return rxResumeFailed_.load(std::memory_order_acquire) ? SOAPY_SDR_STREAM_ERROR : SOAPY_SDR_TIMEOUT;
    }
    if (numElems == 0) {
        return 0;
    }
    if (sweepRequested_) {
        return readSweep(stream, buffs[0], numElems, flags, timeoutUs);
    }
    // The board starts past a retune, but samples read before it are the old
    // frequency's: they are not handed out after it.
    const std::uint64_t retunes = liveRxRetunes_.load(std::memory_order_acquire);
    if (retunes != stream.retunesSeen) {
        stream.retunesSeen = retunes;
        rxPendingDiscarded_.fetch_add(stream.pendingCount, std::memory_order_relaxed);
        stream.pendingCount = 0;
    }
    const std::size_t channels = stream.channels.size();
    if (stream.pendingCount == 0) {
        // Large reads in CF32 or the board's own format go straight into the
        // client's buffers, in the whole blocks the backend reads, so nothing
        // it reads is left over.
        const bool floats = stream.format == SampleFormat::cf32;
        const std::size_t direct = std::min(numElems, stream.mtu) / stream.readGranularity * stream.readGranularity;
        const bool readDirect = (floats || stream.format == stream.native) && direct > 0;
        void* targets[2] = {};
        for (std::size_t index = 0; index < channels; ++index) {
            targets[index] = readDirect ? buffs[index]
                             : floats   ? static_cast<void*>(channelSamples(stream.samples, stream.mtu, index))
                                        : static_cast<void*>(channelValues(stream.values, stream.mtu, index));
        }
        const std::size_t wanted = readDirect ? direct : stream.mtu;
        const std::optional<int> outcome = pollUntil(deadlineAfter(timeoutUs), [&]() -> PollTry {
            const std::lock_guard lock(rxMutex_);
            if (lossesMoved(stream)) {
                return {SOAPY_SDR_OVERFLOW};
            }
            // A transmit burst took the board: quiet until it comes back.
            if (!rx_.active) {
                return {};
            }
            const std::size_t received = readBoard(stream, targets, wanted);
            if (received == 0) {
                if (!board_->streamEnded(StreamDirection::rx).empty()) {
                    SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
                    return {SOAPY_SDR_STREAM_ERROR};
                }
                return {std::nullopt, true};
            }
            if (readDirect) {
                if (const std::optional<std::int64_t> time = board_->readTimeNs(0)) {
                    flags |= SOAPY_SDR_HAS_TIME;
                    timeNs = *time;
                }
                flagDiscards(stream, flags);
                return {static_cast<int>(received)};
            }
            flagDiscards(stream, stream.pendingFlags);
            stream.pendingOffset = 0;
            stream.pendingCount = received;
            return {0};
        });
        if (!outcome) {
            return SOAPY_SDR_TIMEOUT;
        }
        if (stream.pendingCount == 0) {
            return *outcome; // handed out directly, or a loss or an end
        }
    }
    const std::size_t count = std::min(numElems, stream.pendingCount);
    {
        // The pending samples are the board's latest read, from pendingOffset on.
        const std::lock_guard lock(rxMutex_);
        if (const std::optional<std::int64_t> time = board_->readTimeNs(stream.pendingOffset)) {
            flags |= SOAPY_SDR_HAS_TIME;
            timeNs = *time;
        }
    }
    flags |= std::exchange(stream.pendingFlags, 0);
    for (std::size_t index = 0; index < channels; ++index) {
        if (stream.format == SampleFormat::cf32) {
            std::memcpy(buffs[index], channelSamples(stream.samples, stream.mtu, index) + stream.pendingOffset,
                        count * sizeof(std::complex<float>));
        } else {
            const auto* values = reinterpret_cast<const std::uint8_t*>(channelValues(stream.values, stream.mtu, index));
            convertValues(stream.native, stream.format, values + stream.pendingOffset * valuesPerSample(stream.native),
                          buffs[index], count);
        }
    }
    stream.pendingOffset += count;
    stream.pendingCount -= count;
    return static_cast<int>(count);
}

std::size_t SoapyDevice::readBoard(StreamState& stream, void* const* targets, std::size_t count)
{
    const bool floats = stream.format == SampleFormat::cf32;
    // One channel reads as it always has, whichever channel it is.
    if (stream.channels.size() == 1) {
        return floats ? board_->readSamples(static_cast<std::complex<float>*>(targets[0]), count)
                      : board_->readNativeSamples(targets[0], count);
    }
    if (floats) {
        std::complex<float>* samples[2] = {static_cast<std::complex<float>*>(targets[0]),
                                           static_cast<std::complex<float>*>(targets[1])};
        return board_->readChannelSamples(samples, count);
    }
    return board_->readNativeChannelSamples(targets, count);
}

bool SoapyDevice::rxActiveWithin(long timeoutUs) const
{
    return pollUntil(deadlineAfter(timeoutUs),
                     [&]() -> PollTry {
                         const std::lock_guard lock(rxMutex_);
                         return {rx_.active ? std::optional<int>(1) : std::nullopt};
                     })
        .has_value();
}

int SoapyDevice::readSweep(StreamState& stream, void* buffer, size_t numElems, int& flags, long timeoutUs)
{
    NativeSweepBlock& block = stream.sweepBlock;
    if (stream.sweepOffset >= block.samples.size()) {
        const std::optional<int> outcome = pollUntil(deadlineAfter(timeoutUs), [&]() -> PollTry {
            const std::lock_guard lock(rxMutex_);
            if (lossesMoved(stream)) {
                return {SOAPY_SDR_OVERFLOW};
            }
            if (board_->readNativeSweepBlock(block)) {
                stream.sweepOffset = 0;
                return {0};
            }
            if (!board_->streamEnded(StreamDirection::rx).empty()) {
                SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
                return {SOAPY_SDR_STREAM_ERROR};
            }
            return {};
        });
        if (!outcome) {
            return SOAPY_SDR_TIMEOUT;
        }
        if (*outcome != 0) {
            return *outcome;
        }
    }
    // One block per burst: a read that ends a block says so, one that
    // leaves part of it for the next read says that more follows.
    const std::size_t count = std::min(numElems, block.samples.size() - stream.sweepOffset);
    sweepToClient(stream.format, block.samples.data() + stream.sweepOffset, buffer, count);
    stream.sweepOffset += count;
    flags = stream.sweepOffset == block.samples.size() ? SOAPY_SDR_END_BURST : SOAPY_SDR_MORE_FRAGMENTS;
    return static_cast<int>(count);
}

std::string SoapyDevice::describeSweepBlock(const StreamState& stream)
{
    const NativeSweepBlock& block = stream.sweepBlock;
    if (block.samples.empty()) {
        return {};
    }
    SoapySDR::Kwargs description;
    description["center_hz"] = numberText(block.centerFrequencyHz);
    description["rate_hz"] = numberText(block.sampleRateHz);
    description["sweep_start"] = SoapySDR::SettingToString(block.sweepStart);
    std::string ranges;
    for (const FrequencyRangeHz& range : block.validRanges) {
        ranges += (ranges.empty() ? "" : " ") + numberText(range.minimumHz) + ":" + numberText(range.maximumHz);
    }
    description["valid_hz"] = ranges;
    return SoapySDR::KwargsToString(description);
}

} // namespace veltrano::soapy
