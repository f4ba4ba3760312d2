// SPDX-License-Identifier: MIT
// Live control of HackRfSdrDevice: each gain stage, the overall gain, the
// sample rate, the baseband filter and the antenna port's power, changed
// from a controller thread while the client reads or writes. Nothing here
// waits for the stream: every change is one library call (two for the
// overall gain), and the values in force are atomics.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfFilters.h"
#include "device/hackrf/HackRfTransfers.h"

#include <cmath>
#include <span>
#include <string_view>

namespace veltrano {

// One amplifier or attenuator: its name, range and step in dB.
struct HackRfSdrDevice::StageLimits {
    const char* name;
    double minimumDb;
    double maximumDb;
    double stepDb;
};

namespace {

using StageLimits = HackRfSdrDevice::StageLimits;

// The RF amplifier is a switch: off, or about 14 dB.
constexpr double kAmplifierDb = 14.0;
constexpr StageLimits kRxStages[] = {
    {"LNA", 0.0, 40.0, 8.0}, {"VGA", 0.0, 62.0, 2.0}, {"AMP", 0.0, kAmplifierDb, kAmplifierDb}};
constexpr StageLimits kTxStages[] = {{"VGA", 0.0, 47.0, 1.0}, {"AMP", 0.0, kAmplifierDb, kAmplifierDb}};
// What the overall gain fills: the LNA and the VGA, or the transmit VGA.
constexpr double kRxOverallMaximumDb = 102.0;
constexpr double kTxOverallMaximumDb = 47.0;

std::span<const StageLimits> stagesOf(StreamDirection direction)
{
    return direction == StreamDirection::tx ? std::span<const StageLimits>(kTxStages)
                                            : std::span<const StageLimits>(kRxStages);
}

const StageLimits* findStage(StreamDirection direction, const std::string& name)
{
    for (const StageLimits& stage : stagesOf(direction)) {
        if (name == stage.name) {
            return &stage;
        }
    }
    return nullptr;
}

bool isAmplifier(const StageLimits& stage)
{
    return std::string_view(stage.name) == "AMP";
}

bool isLna(const StageLimits& stage)
{
    return std::string_view(stage.name) == "LNA";
}

const char* chainName(StreamDirection direction)
{
    return direction == StreamDirection::tx ? "TX" : "RX";
}

} // namespace

bool HackRfSdrDevice::chainChangeable(StreamDirection direction)
{
    if (!isOpen() || (direction == StreamDirection::tx && !info_.supportsTx)) {
        lastError_.set(std::string(chainName(direction)) + " chain is not available");
        return false;
    }
    // The other chain owns the shared clock, filter and amplifier while it streams.
    if ((direction == StreamDirection::rx ? txStreaming_ : rxStreaming_).load()) {
        lastError_.set(std::string(chainName(direction)) + " change refused: the board is " +
                       (direction == StreamDirection::rx ? "transmitting" : "receiving"));
        return false;
    }
    return true;
}

std::vector<GainStage> HackRfSdrDevice::gainStages(StreamDirection direction) const
{
    std::vector<GainStage> stages;
    if (!isOpen() || (direction == StreamDirection::tx && !info_.supportsTx)) {
        return stages;
    }
    for (const StageLimits& stage : stagesOf(direction)) {
        stages.push_back({stage.name, stage.minimumDb, stage.maximumDb, stage.stepDb});
    }
    return stages;
}

std::optional<GainStage> HackRfSdrDevice::overallGainRange(StreamDirection direction) const
{
    if (direction == StreamDirection::tx) {
        return info_.supportsTx ? std::optional<GainStage>({"", 0.0, kTxOverallMaximumDb, 1.0}) : std::nullopt;
    }
    return GainStage{"", 0.0, kRxOverallMaximumDb, 2.0};
}

bool HackRfSdrDevice::setGainStage(StreamDirection direction, const std::string& stage, double gainDb)
{
    lastError_.clear();
    const StageLimits* limits = findStage(direction, stage);
    if (limits == nullptr || !detail::inRange(gainDb, limits->minimumDb, limits->maximumDb)) {
        lastError_.set(std::string("invalid ") + chainName(direction) + " gain for stage " + stage);
        return false;
    }
    if (!chainChangeable(direction)) {
        return false;
    }
    const double stepped = limits->stepDb * std::round(gainDb / limits->stepDb);
    return applyStage(direction, *limits, static_cast<std::uint32_t>(stepped));
}

bool HackRfSdrDevice::applyStage(StreamDirection direction, const StageLimits& stage, std::uint32_t gainDb)
{
    const HackRfApi& api = hackRfApi();
    hackrf_device* device = handle_->device;
    const bool transmit = direction == StreamDirection::tx;
    if (isAmplifier(stage)) {
        const bool enabled = gainDb > 0;
        // One switch serves both chains: it is the idle or streaming chain's
        // own setting that goes to the board, and configuring either chain
        // sets it to that chain's.
        if (stepFailed("set RF amplifier", api.setAmpEnable(device, enabled ? 1 : 0))) {
            return false;
        }
        (transmit ? txAmplifierEnabled_ : rxAmplifierEnabled_).store(enabled);
        return true;
    }
    if (transmit) {
        if (stepFailed("set TX VGA gain", api.setTxvgaGain(device, gainDb))) {
            return false;
        }
        txVgaGainDb_.store(gainDb);
        return true;
    }
    const bool lna = isLna(stage);
    if (stepFailed(lna ? "set LNA gain" : "set VGA gain", (lna ? api.setLnaGain : api.setVgaGain)(device, gainDb))) {
        return false;
    }
    (lna ? lnaGainDb_ : vgaGainDb_).store(gainDb);
    return true;
}

std::optional<double> HackRfSdrDevice::gainStageDb(StreamDirection direction, const std::string& stage) const
{
    const StageLimits* limits = findStage(direction, stage);
    if (limits == nullptr || gainStages(direction).empty()) {
        return std::nullopt;
    }
    const bool transmit = direction == StreamDirection::tx;
    if (isAmplifier(*limits)) {
        return (transmit ? txAmplifierEnabled_ : rxAmplifierEnabled_).load() ? kAmplifierDb : 0.0;
    }
    if (transmit) {
        return txVgaGainDb_.load();
    }
    return (isLna(*limits) ? lnaGainDb_ : vgaGainDb_).load();
}

bool HackRfSdrDevice::setGain(StreamDirection direction, double gainDb)
{
    lastError_.clear();
    const std::optional<GainStage> overall = overallGainRange(direction);
    if (!overall || !detail::inRange(gainDb, overall->minimumDb, overall->maximumDb)) {
        lastError_.set(std::string("invalid ") + chainName(direction) + " gain");
        return false;
    }
    if (!chainChangeable(direction)) {
        return false;
    }
    if (direction == StreamDirection::tx) {
        return applyStage(direction, kTxStages[0], static_cast<std::uint32_t>(std::round(gainDb)));
    }
    // The split configureRx makes, sent stage by stage.
    const RxGains gains = splitGain(gainDb);
    return applyStage(direction, kRxStages[0], gains.lnaDb) && applyStage(direction, kRxStages[1], gains.vgaDb);
}

std::optional<double> HackRfSdrDevice::gainDb(StreamDirection direction) const
{
    if (gainStages(direction).empty()) {
        return std::nullopt;
    }
    if (direction == StreamDirection::tx) {
        return txVgaGainDb_.load();
    }
    return static_cast<double>(lnaGainDb_.load()) + static_cast<double>(vgaGainDb_.load());
}

bool HackRfSdrDevice::setSampleRate(StreamDirection direction, double rateHz)
{
    lastError_.clear();
    if (!detail::inRange(rateHz, detail::kHackRfLowestRateHz, detail::kHackRfHighestRateHz)) {
        lastError_.set(std::string("invalid ") + chainName(direction) + " sample rate");
        return false;
    }
    if (!chainChangeable(direction)) {
        return false;
    }
    if (direction == StreamDirection::rx && sweepActive_.load(std::memory_order_acquire)) {
        lastError_.set("RX change refused: the native sweep sets its own rate");
        return false;
    }
    if (stepFailed("set sample rate", hackRfApi().setSampleRate(handle_->device, rateHz))) {
        return false;
    }
    if (direction == StreamDirection::rx) {
        actualRxSampleRateHz_.store(rateHz);
        // Whatever was taken at the old rate goes, as after a retune.
        discardReceivedSamples();
    }
    return restoreFilterAfterRate(direction, rateHz);
}

bool HackRfSdrDevice::restoreFilterAfterRate(StreamDirection direction, double rateHz)
{
    const bool transmit = direction == StreamDirection::tx;
    const std::uint32_t chosenHz = (transmit ? txFilterHz_ : rxChosenFilterHz_).load();
    if (chosenHz != 0) {
        return sendBasebandFilter(direction, chosenHz);
    }
    if (!transmit) {
        rxFilterHz_.store(detail::hackRfFilterLibraryPicksAt(rateHz));
    }
    return true;
}

std::vector<FrequencyRangeHz> HackRfSdrDevice::bandwidthRangesHz(StreamDirection direction) const
{
    const HackRfApi& api = hackRfApi();
    std::vector<FrequencyRangeHz> widths;
    if (gainStages(direction).empty() || api.computeBasebandFilterBw == nullptr ||
        api.setBasebandFilterBandwidth == nullptr) {
        return widths;
    }
    for (const std::uint32_t width : detail::kHackRfFilterWidthsHz) {
        widths.push_back({static_cast<double>(width), static_cast<double>(width)});
    }
    return widths;
}

bool HackRfSdrDevice::setBandwidth(StreamDirection direction, double bandwidthHz)
{
    lastError_.clear();
    if (bandwidthRangesHz(direction).empty() ||
        !detail::inRange(bandwidthHz, detail::kHackRfFilterWidthsHz.front(), detail::kHackRfFilterWidthsHz.back())) {
        lastError_.set(std::string("invalid ") + chainName(direction) + " bandwidth");
        return false;
    }
    if (!chainChangeable(direction)) {
        return false;
    }
    const std::uint32_t filterHz = hackRfApi().computeBasebandFilterBw(detail::hackRfFilterAtOrAbove(bandwidthHz));
    if (!sendBasebandFilter(direction, filterHz)) {
        return false;
    }
    if (direction == StreamDirection::rx) {
        rxChosenFilterHz_.store(filterHz);
    }
    return true;
}

bool HackRfSdrDevice::sendBasebandFilter(StreamDirection direction, std::uint32_t filterHz)
{
    if (stepFailed("set baseband filter bandwidth",
                   hackRfApi().setBasebandFilterBandwidth(handle_->device, filterHz))) {
        return false;
    }
    (direction == StreamDirection::tx ? txFilterHz_ : rxFilterHz_).store(filterHz);
    return true;
}

std::optional<double> HackRfSdrDevice::bandwidthHz(StreamDirection direction) const
{
    const std::uint32_t filterHz = (direction == StreamDirection::tx ? txFilterHz_ : rxFilterHz_).load();
    return filterHz == 0 ? std::nullopt : std::optional<double>(filterHz);
}

bool HackRfSdrDevice::supportsBiasTee(StreamDirection direction) const
{
    return hackRfApi().setAntennaEnable != nullptr && !gainStages(direction).empty();
}

bool HackRfSdrDevice::setBiasTee(StreamDirection direction, bool enabled)
{
    lastError_.clear();
    if (!supportsBiasTee(direction)) {
        lastError_.set("HackRF antenna port power is unavailable; update libhackrf");
        return false;
    }
    if (stepFailed("set antenna port power", hackRfApi().setAntennaEnable(handle_->device, enabled ? 1 : 0))) {
        return false;
    }
    antennaPowerEnabled_.store(enabled);
    return true;
}

bool HackRfSdrDevice::biasTee(StreamDirection direction) const
{
    return supportsBiasTee(direction) && antennaPowerEnabled_.load();
}

} // namespace veltrano
