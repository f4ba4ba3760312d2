// SPDX-License-Identifier: MIT
// Which channels of each direction BladeRfSdrDevice streams, the library
// channels and layouts that follow from them, and the gain chain of each channel.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"

#include <algorithm>
#include <cmath>

namespace veltrano {
namespace {

// Receive is index 0, transmit 1, in every per-direction array.
std::size_t indexOf(StreamDirection direction)
{
    return direction == StreamDirection::rx ? 0 : 1;
}

// libbladeRF streams at most two channels of a direction together.
constexpr std::size_t kMostStreamedChannels = 2;

} // namespace

std::size_t BladeRfSdrDevice::channelCount(StreamDirection direction) const
{
    return channelCounts_[indexOf(direction)];
}

bool BladeRfSdrDevice::setStreamChannels(StreamDirection direction, const std::vector<std::size_t>& channels)
{
    const std::size_t index = indexOf(direction);
    const char* const name = direction == StreamDirection::rx ? "RX channels: " : "TX channels: ";
    if ((direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load()) {
        return refuse(std::string(name) + "the stream runs; stop it before choosing its channels");
    }
    if (channels.empty()) {
        return refuse(std::string(name) + "the list is empty");
    }
    for (std::size_t at = 0; at < channels.size(); ++at) {
        if (channels[at] >= channelCounts_[index]) {
            return refuse(std::string(name) + "channel " + std::to_string(channels[at]) +
                          " is out of range (the board has " + std::to_string(channelCounts_[index]) + ")");
        }
        if (std::find(channels.begin(), channels.begin() + static_cast<std::ptrdiff_t>(at), channels[at]) !=
            channels.begin() + static_cast<std::ptrdiff_t>(at)) {
            return refuse(std::string(name) + "channel " + std::to_string(channels[at]) + " is listed twice");
        }
    }
    if (channels.size() > kMostStreamedChannels) {
        return refuse(std::string(name) + "at most two channels stream together");
    }
    streamChannels_[index] = channels;
    streamedChannels_[index].store(channels.size());
    return true;
}

std::vector<std::size_t> BladeRfSdrDevice::streamChannels(StreamDirection direction) const
{
    return streamChannels_[indexOf(direction)];
}

int BladeRfSdrDevice::libraryChannel(StreamDirection direction, std::size_t index)
{
    const int channel = static_cast<int>(index);
    return direction == StreamDirection::rx ? BLADERF_CHANNEL_RX(channel) : BLADERF_CHANNEL_TX(channel);
}

int BladeRfSdrDevice::streamChannel(StreamDirection direction) const
{
    return libraryChannel(direction, streamChannels_[indexOf(direction)].front());
}

std::optional<int> BladeRfSdrDevice::gainChannelOf(StreamDirection direction) const
{
    const std::optional<int> first = channelOf(direction);
    const auto& streamed = streamChannels_[indexOf(direction)];
    if (first && streamed.front() != 0) {
        return libraryChannel(direction, streamed.front());
    }
    return first;
}

int BladeRfSdrDevice::streamLayout(StreamDirection direction) const
{
    const bool two = streamedChannels_[indexOf(direction)].load() == 2;
    if (direction == StreamDirection::rx) {
        return two ? BLADERF_RX_X2 : BLADERF_RX_X1;
    }
    return two ? BLADERF_TX_X2 : BLADERF_TX_X1;
}

int BladeRfSdrDevice::enableStreamChannels(StreamDirection direction, bool enable)
{
    const BladeRfApi& api = bladeRfApi();
    const std::size_t index = indexOf(direction);
    int first = 0;
    for (const std::size_t channel : streamChannels_[index]) {
        int result = api.enableModule(handle_->device, libraryChannel(direction, channel), enable);
        if (result == 0 && enable) {
            result = applyKeptChannelGain(direction, channel);
        }
        if (first == 0) {
            first = result;
        }
    }
    return first;
}

bool BladeRfSdrDevice::refusedSingleBuffer(StreamDirection direction)
{
    if (streamedChannels_[indexOf(direction)].load(std::memory_order_relaxed) == 1) {
        return false;
    }
    refuse(direction == StreamDirection::rx
               ? "RX: the stream carries two channels; read them with readChannelSamples or readNativeChannelSamples"
               : "TX: the stream carries two channels; write them with writeChannelSamples or "
                 "writeNativeChannelSamples");
    return true;
}

int BladeRfSdrDevice::applyKeptChannelGain(StreamDirection direction, std::size_t channel)
{
    const BladeRfApi& api = bladeRfApi();
    const std::size_t index = indexOf(direction);
    const int libraryIndex = libraryChannel(direction, channel);
    int result = 0;
    // A second receiver follows the first one's gain control unless it was
    // given its own: left to the AD9361's automatic gain, it would ignore
    // every gain it is given.
    if (direction == StreamDirection::rx && libraryIndex != gainChannelOf(direction)) {
        const bool automatic = keptChannelAutomaticGain_[channel].value_or(rxAutomaticGain_.load());
        result = api.setGainMode(handle_->device, libraryIndex, automatic ? BLADERF_GAIN_DEFAULT : BLADERF_GAIN_MGC);
    }
    // What was kept while the channel was idle reaches it as it starts: its
    // overall gain, then the stages set since.
    if (result == 0 && !std::isnan(keptChannelGainDb_[index][channel])) {
        result = api.setGain(handle_->device, libraryIndex, detail::wholeDb(keptChannelGainDb_[index][channel]));
    }
    for (const auto& [stage, gainDb] : keptChannelStages_[index][channel]) {
        if (result == 0 && !setStageOf(libraryIndex, stage, gainDb, true)) {
            result = BLADERF_ERR_UNEXPECTED;
        }
    }
    return result;
}

void BladeRfSdrDevice::keepConfiguredGain(StreamDirection direction, double gainDb)
{
    // The configured gain, with the gain control off, is every channel's:
    // the one configured has it, the other gets it when it starts.
    const std::size_t index = indexOf(direction);
    const std::size_t configured = streamChannels_[index].front();
    for (std::size_t channel = 0; channel < kMostStreamedChannels; ++channel) {
        keptChannelGainDb_[index][channel] = channel == configured ? kNoGain : gainDb;
        keptChannelStages_[index][channel].clear();
    }
    if (direction == StreamDirection::rx) {
        keptChannelAutomaticGain_[0] = keptChannelAutomaticGain_[1] = std::nullopt;
    }
}

bool BladeRfSdrDevice::isChannelOfOverallCalls(StreamDirection direction, std::size_t channel) const
{
    return libraryChannel(direction, channel) == gainChannelOf(direction);
}

bool BladeRfSdrDevice::channelStreams(StreamDirection direction, std::size_t channel) const
{
    const auto& streamed = streamChannels_[indexOf(direction)];
    return (direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load() &&
           std::find(streamed.begin(), streamed.end(), channel) != streamed.end();
}

bool BladeRfSdrDevice::hasChannel(StreamDirection direction, std::size_t channel) const
{
    return isOpen() && channel < std::min(channelCounts_[indexOf(direction)], kMostStreamedChannels);
}

bool BladeRfSdrDevice::setChannelGain(StreamDirection direction, std::size_t channel, double gainDb)
{
    const std::size_t index = indexOf(direction);
    if (!hasChannel(direction, channel) || std::isnan(gainDb)) {
        return false;
    }
    if (channelStreams(direction, channel)) {
        const std::lock_guard lock(deviceMutex_);
        if (bladeRfApi().setGain(handle_->device, libraryChannel(direction, channel), detail::wholeDb(gainDb)) < 0) {
            return false;
        }
    }
    keptChannelGainDb_[index][channel] = gainDb;
    keptChannelStages_[index][channel].clear(); // the overall gain splits anew
    return true;
}

double BladeRfSdrDevice::channelGain(StreamDirection direction, std::size_t channel) const
{
    const std::size_t index = indexOf(direction);
    if (!hasChannel(direction, channel)) {
        return kNoGain;
    }
    if (!std::isnan(keptChannelGainDb_[index][channel])) {
        return keptChannelGainDb_[index][channel];
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf_gain gain = 0;
    const std::lock_guard lock(deviceMutex_);
    if (api.getGain == nullptr || api.getGain(handle_->device, libraryChannel(direction, channel), &gain) < 0) {
        return kNoGain;
    }
    return gain;
}

bool BladeRfSdrDevice::setChannelGainStage(StreamDirection direction, std::size_t channel, const std::string& stage,
                                           double gainDb)
{
    if (!hasChannel(direction, channel)) {
        return false;
    }
    if (isChannelOfOverallCalls(direction, channel)) {
        return setGainStage(direction, stage, gainDb);
    }
    const std::lock_guard lock(deviceMutex_);
    if (!setStageOf(libraryChannel(direction, channel), stage, gainDb, channelStreams(direction, channel))) {
        return false;
    }
    auto& kept = keptChannelStages_[indexOf(direction)][channel];
    std::erase_if(kept, [&stage](const auto& entry) { return entry.first == stage; });
    kept.emplace_back(stage, gainDb);
    return true;
}

std::optional<double> BladeRfSdrDevice::channelGainStageDb(StreamDirection direction, std::size_t channel,
                                                           const std::string& stage) const
{
    if (!hasChannel(direction, channel)) {
        return std::nullopt;
    }
    if (isChannelOfOverallCalls(direction, channel)) {
        return gainStageDb(direction, stage);
    }
    const auto& kept = keptChannelStages_[indexOf(direction)][channel];
    const auto found =
        std::find_if(kept.begin(), kept.end(), [&stage](const auto& entry) { return entry.first == stage; });
    if (found != kept.end() && !channelStreams(direction, channel)) {
        return found->second;
    }
    const std::lock_guard lock(deviceMutex_);
    return stageDbOf(libraryChannel(direction, channel), stage);
}

bool BladeRfSdrDevice::setChannelAutomaticGain(StreamDirection direction, std::size_t channel, bool enabled)
{
    if (!hasChannel(direction, channel) || !supportsAutomaticGain(direction)) {
        return false;
    }
    if (isChannelOfOverallCalls(direction, channel)) {
        return setAutomaticGain(direction, enabled);
    }
    if (channelStreams(direction, channel)) {
        const std::lock_guard lock(deviceMutex_);
        const bladerf_gain_mode mode = enabled ? BLADERF_GAIN_DEFAULT : BLADERF_GAIN_MGC;
        if (bladeRfApi().setGainMode(handle_->device, libraryChannel(direction, channel), mode) != 0) {
            return false;
        }
    }
    keptChannelAutomaticGain_[channel] = enabled;
    return true;
}

bool BladeRfSdrDevice::channelAutomaticGain(StreamDirection direction, std::size_t channel) const
{
    if (!hasChannel(direction, channel) || direction != StreamDirection::rx) {
        return false;
    }
    if (isChannelOfOverallCalls(direction, channel)) {
        return automaticGain(direction);
    }
    return keptChannelAutomaticGain_[channel].value_or(rxAutomaticGain_.load());
}

} // namespace veltrano
