// SPDX-License-Identifier: MIT
// Gain, by stage and overall, and the automatic gain mode. A
// stage set by name goes to the board at once unless the other direction
// streams (the board takes no change for an idle chain then); it is kept, and
// set again over every later configuration, until the overall gain is set.
#include "soapy/SettingText.h"
#include "soapy/SoapyDevice.h"

#include <algorithm>
#include <cmath>

namespace veltrano::soapy {
namespace {

const char* directionName(int direction)
{
    return direction == SOAPY_SDR_TX ? "TX" : "RX";
}

std::string stageRangeText(const GainStage& stage)
{
    std::string text = numberText(stage.minimumDb) + " to " + numberText(stage.maximumDb) + " dB";
    return stage.stepDb > 0.0 ? text + " in steps of " + numberText(stage.stepDb) : text;
}

} // namespace

bool SoapyDevice::addressedByOverallCalls(int direction, size_t channel) const
{
    return board_->streamChannels(chainOf(direction)).front() == channel;
}

GainStage SoapyDevice::stageNamed(int direction, const std::string& name) const
{
    const std::vector<GainStage> stages = board_->gainStages(chainOf(direction));
    std::string names;
    for (const GainStage& stage : stages) {
        if (stage.name == name) {
            return stage;
        }
        names += (names.empty() ? "" : ", ") + stage.name;
    }
    fail(std::string("veltrano: no ") + directionName(direction) + " gain stage '" + name + "'; the stages are " +
         (names.empty() ? "none" : names));
}

std::vector<std::string> SoapyDevice::listGains(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    std::vector<std::string> names;
    for (const GainStage& stage : board_->gainStages(chainOf(direction))) {
        names.push_back(stage.name);
    }
    return names;
}

void SoapyDevice::setGain(int direction, size_t channel, double value)
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    // Clients drive an overall slider past its ends freely: a number outside
    // the range is held to it, as the configuration's own split does.
    const SoapySDR::Range range = getGainRangeLocked(direction);
    const double held = std::isfinite(value) ? std::clamp(value, range.minimum(), range.maximum()) : value;
    // The stream's other channel: its own gain, live while it streams, else
    // kept by the board for when it starts.
    if (!addressedByOverallCalls(direction, channel)) {
        if (!board_->setChannelGain(chainOf(direction), channel, held)) {
            fail(std::string("veltrano: the board refused the ") + directionName(direction) + " gain " +
                 numberText(value) + " of channel " + std::to_string(channel) + boardReason());
        }
        Side::ChannelGain& kept = side(direction).channelGains[channel];
        kept.gainDb = held;
        kept.stageGains.clear();
        return;
    }
    Side& own = side(direction);
    own.channelGains.erase(channel);
    std::vector<std::pair<std::string, double>> stages = std::move(own.stageGains);
    own.stageGains.clear();
    try {
        static_cast<void>(change(direction, channel, &StreamConfig::gainDb, held, "gain", &ISdrDevice::setGain,
                                 numberText(range.minimum()) + " to " + numberText(range.maximum()) + " dB"));
    } catch (...) {
        own.stageGains = std::move(stages);
        throw;
    }
}

void SoapyDevice::setGain(int direction, size_t channel, const std::string& name, double value)
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    const GainStage stage = stageNamed(direction, name);
    if (!std::isfinite(value) || value < stage.minimumDb || value > stage.maximumDb) {
        fail(std::string("veltrano: the ") + directionName(direction) + " gain stage " + name + " takes " +
             stageRangeText(stage) + ", not " + numberText(value));
    }
    // The stream's other channel: its own chain, live while it streams, else
    // kept by the board for when it starts.
    if (!addressedByOverallCalls(direction, channel)) {
        if (!board_->setChannelGainStage(chainOf(direction), channel, name, value)) {
            fail(std::string("veltrano: the board refused the ") + directionName(direction) + " gain stage " + name +
                 " of channel " + std::to_string(channel) + boardReason());
        }
        auto& stages = side(direction).channelGains[channel].stageGains;
        std::erase_if(stages, [&name](const auto& entry) { return entry.first == name; });
        stages.emplace_back(name, value);
        return;
    }
    if (!otherStreams(direction) && !board_->setGainStage(chainOf(direction), name, value)) {
        fail(std::string("veltrano: the board refused the ") + directionName(direction) + " gain stage " + name +
             boardReason());
    }
    Side& own = side(direction);
    std::erase_if(own.stageGains, [&name](const auto& entry) { return entry.first == name; });
    own.stageGains.emplace_back(name, value);
}

double SoapyDevice::getGain(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    const Side& own = side(direction);
    if (!addressedByOverallCalls(direction, channel)) {
        const double gain = board_->channelGain(chainOf(direction), channel);
        return std::isnan(gain) ? own.config.gainDb : gain;
    }
    if (own.stageGains.empty()) {
        return own.config.gainDb;
    }
    return board_->gainDb(chainOf(direction)).value_or(own.config.gainDb);
}

double SoapyDevice::getGain(int direction, size_t channel, const std::string& name) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    static_cast<void>(stageNamed(direction, name));
    if (!addressedByOverallCalls(direction, channel)) {
        return board_->channelGainStageDb(chainOf(direction), channel, name).value_or(0.0);
    }
    const Side& own = side(direction);
    // A stage kept for a chain the board has not taken it for yet reads as kept.
    const auto kept = std::find_if(own.stageGains.begin(), own.stageGains.end(),
                                   [&name](const auto& entry) { return entry.first == name; });
    if (kept != own.stageGains.end() && otherStreams(direction)) {
        return kept->second;
    }
    return board_->gainStageDb(chainOf(direction), name).value_or(0.0);
}

SoapySDR::Range SoapyDevice::getGainRangeLocked(int direction) const
{
    // A board that cannot tell (closed) offers no gain to set.
    const GainStage overall = board_->overallGainRange(chainOf(direction)).value_or(GainStage{});
    return {overall.minimumDb, overall.maximumDb, overall.stepDb};
}

SoapySDR::Range SoapyDevice::getGainRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return getGainRangeLocked(direction);
}

SoapySDR::Range SoapyDevice::getGainRange(int direction, size_t channel, const std::string& name) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    const GainStage stage = stageNamed(direction, name);
    return {stage.minimumDb, stage.maximumDb, stage.stepDb};
}

bool SoapyDevice::hasGainMode(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return board_->supportsAutomaticGain(chainOf(direction));
}

void SoapyDevice::setGainMode(int direction, size_t channel, bool automatic)
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    const StreamDirection chain = chainOf(direction);
    if (!board_->supportsAutomaticGain(chain)) {
        if (automatic) {
            fail(std::string("veltrano: the board has no automatic ") + directionName(direction) +
                 " gain; set the gain or its stages");
        }
        return;
    }
    if (!addressedByOverallCalls(direction, channel)) {
        if (!board_->setChannelAutomaticGain(chain, channel, automatic)) {
            fail(std::string("veltrano: the board refused the automatic ") + directionName(direction) +
                 " gain of channel " + std::to_string(channel) + boardReason());
        }
        side(direction).channelGains[channel].automatic = automatic;
        return;
    }
    if (!otherStreams(direction) && !board_->setAutomaticGain(chain, automatic)) {
        fail(std::string("veltrano: the board refused the automatic ") + directionName(direction) + " gain" +
             boardReason());
    }
    side(direction).automaticGain = automatic;
}

bool SoapyDevice::getGainMode(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    if (!addressedByOverallCalls(direction, channel)) {
        return board_->channelAutomaticGain(chainOf(direction), channel);
    }
    return side(direction).automaticGain;
}

} // namespace veltrano::soapy
