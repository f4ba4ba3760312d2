// SPDX-License-Identifier: MIT
// Live control of BladeRfSdrDevice: gain stages, overall gain, sample rate,
// filter bandwidth, automatic gain and bias tee, each changed while a stream
// runs. Every library call here is made under deviceMutex_, so none meets a
// receive read, a retune or a stop of the controller's; what libbladeRF
// would accept beside a running read is not relied upon. Names and values
// are checked here before the library sees them: libbladeRF clamps a gain
// outside a stage's range, and a bladeRF1 answers success for a stage name it
// does not know, leaving the caller's value unwritten.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSettings.h"

#include <array>
#include <cmath>

namespace veltrano {
namespace {

// More stages than any board has; the library fills at most this many names.
constexpr std::size_t kMostStages = 16;

// A library range (in its scaled units) as a stage record in dB.
GainStage stageOf(std::string name, const bladerf_range& range)
{
    const auto dB = [&range](std::int64_t value) {
        return static_cast<double>(value) * static_cast<double>(range.scale);
    };
    return GainStage{std::move(name), dB(range.min), dB(range.max), dB(range.step)};
}

bool holds(const GainStage& range, double gainDb)
{
    return std::isfinite(gainDb) && gainDb >= range.minimumDb && gainDb <= range.maximumDb;
}

// The stage's nearest step from its minimum, in the whole dB libbladeRF takes.
int onStep(const GainStage& range, double gainDb)
{
    double value = gainDb;
    if (range.stepDb > 0.0) {
        value = range.minimumDb + std::round((gainDb - range.minimumDb) / range.stepDb) * range.stepDb;
        value = std::min(value, range.maximumDb);
    }
    return detail::wholeDb(value);
}

} // namespace

std::optional<int> BladeRfSdrDevice::channelOf(StreamDirection direction) const
{
    if (!isOpen()) {
        return std::nullopt;
    }
    if (direction == StreamDirection::rx && info_.supportsRx) {
        return detail::kBladeRfRxChannel;
    }
    if (direction == StreamDirection::tx && info_.supportsTx) {
        return detail::kBladeRfTxChannel;
    }
    return std::nullopt;
}

std::vector<GainStage> BladeRfSdrDevice::listStages(int channel, const std::string* only) const
{
    const BladeRfApi& api = bladeRfApi();
    if (api.getGainStages == nullptr || api.getGainStageRange == nullptr) {
        return {};
    }
    // Always with room for the names: the library's FPGA-tuned bladeRF 2.0
    // path writes through the array pointer even when asked only to count.
    std::array<const char*, kMostStages> names{};
    const int listed = api.getGainStages(handle_->device, channel, names.data(), names.size());
    std::vector<GainStage> stages;
    for (std::size_t index = 0; listed > 0 && index < std::min<std::size_t>(listed, names.size()); ++index) {
        // The whole name must match: "lna\0x" is not "lna".
        const bladerf_range* range = nullptr;
        if (names[index] == nullptr || names[index][0] == '\0' || (only != nullptr && *only != names[index]) ||
            api.getGainStageRange(handle_->device, channel, names[index], &range) < 0 || range == nullptr) {
            continue;
        }
        stages.push_back(stageOf(names[index], *range));
    }
    return stages;
}

std::vector<GainStage> BladeRfSdrDevice::gainStages(StreamDirection direction) const
{
    const auto channel = gainChannelOf(direction);
    if (!channel) {
        return {};
    }
    const std::lock_guard lock(deviceMutex_);
    return listStages(*channel, nullptr);
}

std::optional<GainStage> BladeRfSdrDevice::overallGainRange(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = gainChannelOf(direction);
    if (!channel || api.getGainRange == nullptr) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    const bladerf_range* range = nullptr;
    if (api.getGainRange(handle_->device, *channel, &range) < 0 || range == nullptr) {
        return std::nullopt;
    }
    return stageOf("", *range);
}

bool BladeRfSdrDevice::setGainStage(StreamDirection direction, const std::string& stage, double gainDb)
{
    const auto channel = gainChannelOf(direction);
    if (!channel) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    return setStageOf(*channel, stage, gainDb, true);
}

bool BladeRfSdrDevice::setStageOf(int channel, const std::string& stage, double gainDb, bool apply) const
{
    const BladeRfApi& api = bladeRfApi();
    if (api.setGainStage == nullptr || !std::isfinite(gainDb)) {
        return false;
    }
    const auto found = listStages(channel, &stage);
    if (found.empty() || !holds(found.front(), gainDb)) {
        return false;
    }
    return !apply ||
           api.setGainStage(handle_->device, channel, found.front().name.c_str(), onStep(found.front(), gainDb)) == 0;
}

std::optional<double> BladeRfSdrDevice::gainStageDb(StreamDirection direction, const std::string& stage) const
{
    const auto channel = gainChannelOf(direction);
    if (!channel) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    return stageDbOf(*channel, stage);
}

std::optional<double> BladeRfSdrDevice::stageDbOf(int channel, const std::string& stage) const
{
    const BladeRfApi& api = bladeRfApi();
    if (api.getGainStage == nullptr) {
        return std::nullopt;
    }
    const auto found = listStages(channel, &stage);
    bladerf_gain gain = 0;
    if (found.empty() || api.getGainStage(handle_->device, channel, found.front().name.c_str(), &gain) != 0) {
        return std::nullopt;
    }
    return static_cast<double>(gain);
}

bool BladeRfSdrDevice::setGain(StreamDirection direction, double gainDb)
{
    const auto channel = gainChannelOf(direction);
    if (!channel || !std::isfinite(gainDb)) {
        return false;
    }
    // Without a reported range the library's own check is the only one.
    if (const auto range = overallGainRange(direction); range && !holds(*range, gainDb)) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    return bladeRfApi().setGain(handle_->device, *channel, detail::wholeDb(gainDb)) == 0;
}

std::optional<double> BladeRfSdrDevice::gainDb(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = gainChannelOf(direction);
    if (!channel || api.getGain == nullptr) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    bladerf_gain gain = 0;
    if (api.getGain(handle_->device, *channel, &gain) != 0) {
        return std::nullopt;
    }
    return static_cast<double>(gain);
}

bool BladeRfSdrDevice::setSampleRate(StreamDirection direction, double rateHz)
{
    const auto channel = channelOf(direction);
    if (!channel || !detail::isUsableSampleRate(rateHz) || rateClashes(direction, rateHz)) {
        return false;
    }
    const BladeRfApi& api = bladeRfApi();
    const std::lock_guard lock(deviceMutex_);
    const bladerf_range* range = nullptr;
    if (api.getSampleRateRange(handle_->device, *channel, &range) == 0 && range != nullptr &&
        (rateHz < static_cast<double>(range->min) * range->scale ||
         rateHz > static_cast<double>(range->max) * range->scale)) {
        return false;
    }
    bladerf_sample_rate actual = 0;
    if (api.setSampleRate(handle_->device, *channel, detail::wholeSampleRate(rateHz), &actual) != 0) {
        return false;
    }
    if (direction == StreamDirection::tx) {
        txSampleRateHz_.store(static_cast<double>(actual));
        return true;
    }
    actualRxSampleRateHz_ = static_cast<double>(actual);
    return !rxStreaming_.load() || discardSamplesBeforeNow();
}

std::vector<FrequencyRangeHz> BladeRfSdrDevice::bandwidthRangesHz(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = channelOf(direction);
    if (!channel || api.getBandwidthRange == nullptr) {
        return {};
    }
    const std::lock_guard lock(deviceMutex_);
    const bladerf_range* range = nullptr;
    if (api.getBandwidthRange(handle_->device, *channel, &range) != 0 || range == nullptr) {
        return {};
    }
    return {{static_cast<double>(range->min) * range->scale, static_cast<double>(range->max) * range->scale}};
}

bool BladeRfSdrDevice::setBandwidth(StreamDirection direction, double bandwidthHz)
{
    const auto channel = channelOf(direction);
    const auto ranges = bandwidthRangesHz(direction);
    // Written so that a NaN fails both comparisons.
    if (!channel || ranges.empty() || !(bandwidthHz >= ranges.front().minimumHz) ||
        !(bandwidthHz <= ranges.front().maximumHz)) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    bladerf_bandwidth actual = 0;
    // Rounded up: the filter the library picks must pass the whole width asked for.
    const auto requested = static_cast<bladerf_bandwidth>(std::ceil(bandwidthHz));
    if (bladeRfApi().setBandwidth(handle_->device, *channel, requested, &actual) != 0) {
        return false;
    }
    bandwidthHz_[direction == StreamDirection::tx ? 1 : 0].store(static_cast<double>(actual));
    return true;
}

std::optional<double> BladeRfSdrDevice::bandwidthHz(StreamDirection direction) const
{
    if (!channelOf(direction)) {
        return std::nullopt;
    }
    const double bandwidth = bandwidthHz_[direction == StreamDirection::tx ? 1 : 0].load();
    return bandwidth > 0.0 ? std::optional<double>(bandwidth) : std::nullopt;
}

bool BladeRfSdrDevice::supportsAutomaticGain(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = channelOf(direction);
    if (direction != StreamDirection::rx || !channel || api.getGainModes == nullptr) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    const bladerf_gain_modes* modes = nullptr;
    const int count = api.getGainModes(handle_->device, *channel, &modes);
    bool listed = false;
    for (int index = 0; modes != nullptr && index < count; ++index) {
        listed = listed || modes[index].mode != BLADERF_GAIN_MGC;
    }
    return listed && (bladeRf2Parts_ || bladeRf1TakesAutomaticGain());
}

bool BladeRfSdrDevice::bladeRf1TakesAutomaticGain() const
{
    std::optional<bool>& known = handle_->bladeRf1AutomaticGain;
    if (known) {
        return *known;
    }
    // Only trying tells: the mode is switched on, quietly (the library warns
    // when it refuses), and back to what it was.
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    bladerf_gain_mode before = BLADERF_GAIN_MGC;
    if (api.getGainMode != nullptr) {
        static_cast<void>(api.getGainMode(device, detail::kBladeRfRxChannel, &before));
    }
    if (api.logSetVerbosity != nullptr) {
        api.logSetVerbosity(BLADERF_LOG_LEVEL_SILENT);
    }

    known = api.setGainMode(device, detail::kBladeRfRxChannel, BLADERF_GAIN_DEFAULT) == 0;
    if (*known && before != BLADERF_GAIN_DEFAULT) {
        static_cast<void>(api.setGainMode(device, detail::kBladeRfRxChannel, before));
    }
    if (api.logSetVerbosity != nullptr) {
        api.logSetVerbosity(BLADERF_LOG_LEVEL_INFO); // the library's own default
    }
    return *known;
}

bool BladeRfSdrDevice::setAutomaticGain(StreamDirection direction, bool enabled)
{
    if (!supportsAutomaticGain(direction)) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    const bladerf_gain_mode mode = enabled ? BLADERF_GAIN_DEFAULT : BLADERF_GAIN_MGC;
    if (bladeRfApi().setGainMode(handle_->device, *gainChannelOf(direction), mode) != 0) {
        return false;
    }
    rxAutomaticGain_.store(enabled);
    return true;
}

bool BladeRfSdrDevice::automaticGain(StreamDirection direction) const
{
    return direction == StreamDirection::rx && rxAutomaticGain_.load();
}

bool BladeRfSdrDevice::supportsBiasTee(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = channelOf(direction);
    if (!channel || !bladeRf2Parts_ || api.setBiasTee == nullptr || api.getBiasTee == nullptr) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    bool enabled = false;
    return api.getBiasTee(handle_->device, *channel, &enabled) == 0;
}

bool BladeRfSdrDevice::setBiasTee(StreamDirection direction, bool enabled)
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = channelOf(direction);
    if (!channel || !bladeRf2Parts_ || api.setBiasTee == nullptr) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    return api.setBiasTee(handle_->device, *channel, enabled) == 0;
}

bool BladeRfSdrDevice::biasTee(StreamDirection direction) const
{
    const BladeRfApi& api = bladeRfApi();
    const auto channel = channelOf(direction);
    if (!channel || !bladeRf2Parts_ || api.getBiasTee == nullptr) {
        return false;
    }
    const std::lock_guard lock(deviceMutex_);
    bool enabled = false;
    return api.getBiasTee(handle_->device, *channel, &enabled) == 0 && enabled;
}

} // namespace veltrano
