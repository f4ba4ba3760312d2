// SPDX-License-Identifier: MIT
// Which channels of each direction BladeRfSdrDevice streams, the library
// channels and layouts that follow from them, and the gain of each channel.
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
    if (first && streamed.size() == 1 && streamed.front() != 0) {
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
        // A second receiver follows the first one's gain control: left to the
        // AD9361's automatic gain, it would ignore every gain it is given.
        if (result == 0 && enable && direction == StreamDirection::rx && channel != 0) {
            result = api.setGainMode(handle_->device, libraryChannel(direction, channel),
                                     rxAutomaticGain_.load() ? BLADERF_GAIN_DEFAULT : BLADERF_GAIN_MGC);
        }
        // A gain kept while the channel was idle reaches it as it starts.
        if (result == 0 && enable && !std::isnan(keptChannelGainDb_[index][channel])) {
            result = api.setGain(handle_->device, libraryChannel(direction, channel),
                                 detail::wholeDb(keptChannelGainDb_[index][channel]));
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

bool BladeRfSdrDevice::setChannelGain(StreamDirection direction, std::size_t channel, double gainDb)
{
    const std::size_t index = indexOf(direction);
    if (!isOpen() || channel >= std::min(channelCounts_[index], kMostStreamedChannels) || std::isnan(gainDb)) {
        return false;
    }
    const bool streaming = (direction == StreamDirection::rx ? rxStreaming_ : txStreaming_).load();
    const auto& streamed = streamChannels_[index];
    if (streaming && std::find(streamed.begin(), streamed.end(), channel) != streamed.end()) {
        const std::lock_guard lock(deviceMutex_);
        if (bladeRfApi().setGain(handle_->device, libraryChannel(direction, channel), detail::wholeDb(gainDb)) < 0) {
            return false;
        }
    }
    keptChannelGainDb_[index][channel] = gainDb;
    return true;
}

double BladeRfSdrDevice::channelGain(StreamDirection direction, std::size_t channel) const
{
    const std::size_t index = indexOf(direction);
    if (!isOpen() || channel >= std::min(channelCounts_[index], kMostStreamedChannels)) {
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

} // namespace veltrano
