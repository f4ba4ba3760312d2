// SPDX-License-Identifier: MIT
#include "soapy/SoapyDevice.h"

#include "soapy/SettingText.h"

#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace veltrano::soapy {
namespace {

const char* directionName(int direction)
{
    return direction == SOAPY_SDR_TX ? "TX" : "RX";
}

SoapySDR::RangeList rangesOf(const std::vector<FrequencyRangeHz>& ranges)
{
    SoapySDR::RangeList list;
    for (const FrequencyRangeHz& range : ranges) {
        list.emplace_back(range.minimumHz, range.maximumHz);
    }
    return list;
}

// The rates and filter widths clients' menus offer, in Hz.
constexpr double kMenuValuesHz[] = {250e3, 500e3, 1e6,   1.5e6, 1.75e6, 2e6,     2.5e6,  2.75e6, 3e6,  3.84e6,
                                    4e6,   5e6,   5.5e6, 6e6,   7e6,    8e6,     8.75e6, 10e6,   12e6, 12.5e6,
                                    14e6,  16e6,  20e6,  25e6,  28e6,   30.72e6, 40e6,   50e6,   56e6, 61.44e6};

// A discrete list beside the ranges, for clients that offer a menu (and
// some that take its last entry as the largest): each single value a range
// names, and the menu values within a wider one, in ascending order.
std::vector<double> menuOf(const SoapySDR::RangeList& ranges)
{
    std::vector<double> values;
    for (const SoapySDR::Range& range : ranges) {
        if (range.minimum() == range.maximum()) {
            values.push_back(range.minimum());
            continue;
        }
        for (const double value : kMenuValuesHz) {
            if (value >= range.minimum() && value <= range.maximum()) {
                values.push_back(value);
            }
        }
    }
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

constexpr const char* kRf = "RF";
constexpr const char* kBaseband = "BB";

std::string noFrequencyElement(const std::string& name)
{
    return "veltrano: no frequency element '" + name + "'; the elements are RF (and BB, always 0)";
}

} // namespace

SoapyDevice::SoapyDevice(BoardFamily family, std::unique_ptr<ISdrDevice> board)
    : family_(family), traits_(traitsOf(family)), board_(std::move(board))
{
    rx_.config = traits_.initialRx;
    tx_.config = traits_.initialTx;
    // A board with two independent chains streams both at once.
    if (board_->supportsFullDuplex()) {
        static_cast<void>(board_->setFullDuplex(true));
    }
}

void SoapyDevice::fail(const std::string& message) const
{
    SoapySDR::log(SOAPY_SDR_ERROR, message);
    throw std::runtime_error(message);
}

std::string SoapyDevice::boardReason() const
{
    const std::string reason = board_->lastError();
    return reason.empty() ? std::string() : ": " + reason;
}

void SoapyDevice::checkChannel(int direction, size_t channel) const
{
    if ((direction != SOAPY_SDR_RX && direction != SOAPY_SDR_TX) || channel >= getNumChannels(direction)) {
        fail(std::string("veltrano: no ") + directionName(direction) + " channel " + std::to_string(channel));
    }
}

SoapyDevice::Side& SoapyDevice::side(int direction)
{
    return direction == SOAPY_SDR_TX ? tx_ : rx_;
}

const SoapyDevice::Side& SoapyDevice::side(int direction) const
{
    return direction == SOAPY_SDR_TX ? tx_ : rx_;
}

bool SoapyDevice::configure(int direction, const StreamConfig& config)
{
    bool configured = false;
    if (direction == SOAPY_SDR_TX) {
        configured = board_->configureTx(config);
    } else if (sweepRequested_) {
        configured = board_->configureNativeSweep(config, sweepStartHz_, sweepStopHz_);
    } else {
        configured = board_->configureRx(config) &&
                     (hopFrequenciesHz_.empty() || board_->prepareRxFrequencies(hopFrequenciesHz_));
    }
    const Side& own = side(direction);
    for (const auto& [stage, gainDb] : own.stageGains) {
        configured = configured && board_->setGainStage(chainOf(direction), stage, gainDb);
    }
    // A configuration gives every channel its gain: what was set by channel goes on top.
    for (const auto& [channel, gain] : own.channelGains) {
        const StreamDirection chain = chainOf(direction);
        configured = configured && (!gain.gainDb || board_->setChannelGain(chain, channel, *gain.gainDb));
        for (const auto& [stage, gainDb] : gain.stageGains) {
            configured = configured && board_->setChannelGainStage(chain, channel, stage, gainDb);
        }
        configured = configured && (!gain.automatic || board_->setChannelAutomaticGain(chain, channel, *gain.automatic));
    }
    return configured && (!own.automaticGain || board_->setAutomaticGain(chainOf(direction), true));
}

bool SoapyDevice::otherStreams(int direction) const
{
    return side(direction == SOAPY_SDR_TX ? SOAPY_SDR_RX : SOAPY_SDR_TX).active && !board_->fullDuplex();
}

void SoapyDevice::reconfigure(int direction, const char* what, const StreamConfig& wanted, const std::string& valid)
{
    Side& own = side(direction);
    if (own.active) {
        fail(std::string("veltrano: cannot change the ") + what + " while the " + directionName(direction) +
             " stream is active; deactivate it first");
    }
    if (otherStreams(direction)) {
        // The board takes no configuration while the other direction
        // streams; this one is applied when its own stream starts.
        own.config = wanted;
        return;
    }
    if (!configure(direction, wanted)) {
        fail(std::string("veltrano: the board refused the ") + directionName(direction) + " " + what +
             (valid.empty() ? std::string() : " (it takes " + valid + ")") + boardReason());
    }
    own.config = wanted;
}

bool SoapyDevice::change(int direction, size_t channel, double StreamConfig::*field, double value, const char* what,
                         LiveCall live, const std::string& valid, bool liveWhenIdle)
{
    checkChannel(direction, channel);
    if (!std::isfinite(value)) {
        fail(std::string("veltrano: the ") + directionName(direction) + " " + what + " takes " + valid + ", not " +
             numberText(value));
    }
    Side& own = side(direction);
    if (own.active || (liveWhenIdle && !otherStreams(direction))) {
        if (!(board_.get()->*live)(chainOf(direction), value)) {
            fail(std::string("veltrano: the board refused the ") + directionName(direction) + " " + what + " " +
                 numberText(value) + " (it takes " + valid + ")" + boardReason());
        }
        own.config.*field = value;
        return true;
    }
    StreamConfig wanted = own.config;
    wanted.*field = value;
    reconfigure(direction, what, wanted, valid);
    return false;
}

std::string SoapyDevice::validText(const SoapySDR::RangeList& ranges, const char* unit) const
{
    std::string text;
    for (const SoapySDR::Range& range : ranges) {
        text += (text.empty() ? "" : ", ") + numberText(range.minimum());
        if (range.maximum() != range.minimum()) {
            text += " to " + numberText(range.maximum());
        }
    }
    return (text.empty() ? std::string("nothing") : text) + " " + unit;
}

double SoapyDevice::requested(int direction, size_t channel, double StreamConfig::*field) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return side(direction).config.*field;
}

// ---- Identification and channels ------------------------------------------

std::string SoapyDevice::getDriverKey() const
{
    return "veltrano";
}

std::string SoapyDevice::getHardwareKey() const
{
    return board_->info().label;
}

SoapySDR::Kwargs SoapyDevice::getHardwareInfo() const
{
    const DeviceInfo info = board_->info();
    SoapySDR::Kwargs hardware;
    hardware["family"] = traits_.key;
    hardware["backend"] = info.driver;
    hardware["label"] = info.label;
    hardware["serial"] = info.serial;
    const std::lock_guard lock(boardMutex_);
    const BoardIdentity identity = board_->boardIdentity();
    // Only what the board and its library told: an item they cannot tell is left out.
    const auto put = [&](const char* key, const std::optional<std::string>& value) {
        if (value) {
            hardware[key] = *value;
        }
    };
    put("firmware_version", identity.firmwareVersion);
    put("fpga_version", identity.fpgaVersion);
    put("fpga_size", identity.fpgaSize);
    if (identity.fpgaLoaded) {
        hardware["fpga_loaded"] = *identity.fpgaLoaded ? "true" : "false";
    }
    put("board_id", identity.boardId);
    put("board_revision", identity.boardRevision);
    put("library_version", identity.libraryVersion);
    put("usb_api_version", identity.usbApiVersion);
    std::string accessories;
    for (const std::string& accessory : board_->accessories()) {
        accessories += (accessories.empty() ? "" : ", ") + accessory;
    }
    if (!accessories.empty()) {
        hardware["accessories"] = accessories;
    }
    return hardware;
}

size_t SoapyDevice::getNumChannels(int direction) const
{
    const DeviceInfo info = board_->info();
    if (direction == SOAPY_SDR_RX) {
        return info.supportsRx ? board_->channelCount(StreamDirection::rx) : 0;
    }
    return direction == SOAPY_SDR_TX && info.supportsTx ? board_->channelCount(StreamDirection::tx) : 0;
}

bool SoapyDevice::getFullDuplex(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    const std::lock_guard lock(boardMutex_);
    return board_->fullDuplex();
}

// ---- Frequency ------------------------------------------------------------

void SoapyDevice::setFrequency(int direction, size_t channel, double frequency, const SoapySDR::Kwargs&)
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    if (direction == SOAPY_SDR_RX && rx_.active) {
        if (!board_->setRxFrequency(frequency)) {
            fail("veltrano: the board refused to retune to " + std::to_string(frequency) + " Hz" + boardReason());
        }
        rx_.config.frequencyHz = frequency;
        liveRxRetunes_.fetch_add(1, std::memory_order_release);
        return;
    }
    StreamConfig wanted = side(direction).config;
    wanted.frequencyHz = frequency;
    reconfigure(direction, "frequency", wanted);
}

// "BB", the baseband offset other modules offer, is accepted and left at 0:
// the boards tune their RF only, and clients that set both carry over.
void SoapyDevice::setFrequency(int direction, size_t channel, const std::string& name, double frequency,
                               const SoapySDR::Kwargs& args)
{
    if (name == kBaseband) {
        checkChannel(direction, channel);
        return;
    }
    if (name != kRf) {
        fail(noFrequencyElement(name));
    }
    setFrequency(direction, channel, frequency, args);
}

double SoapyDevice::getFrequency(int direction, size_t channel) const
{
    return requested(direction, channel, &StreamConfig::frequencyHz);
}

double SoapyDevice::getFrequency(int direction, size_t channel, const std::string& name) const
{
    if (name == kBaseband) {
        checkChannel(direction, channel);
        return 0.0;
    }
    if (name != kRf) {
        fail(noFrequencyElement(name));
    }
    return getFrequency(direction, channel);
}

std::vector<std::string> SoapyDevice::listFrequencies(int, size_t) const
{
    return {kRf};
}

SoapySDR::RangeList SoapyDevice::getFrequencyRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return rangesOf(direction == SOAPY_SDR_TX ? board_->txFrequencyRanges() : board_->rxFrequencyRanges());
}

SoapySDR::RangeList SoapyDevice::getFrequencyRange(int direction, size_t channel, const std::string& name) const
{
    if (name == kBaseband) {
        checkChannel(direction, channel);
        return {SoapySDR::Range(0.0, 0.0)};
    }
    if (name != kRf) {
        fail(noFrequencyElement(name));
    }
    return getFrequencyRange(direction, channel);
}

// ---- Sample rate and bandwidth ----------------------------------------------

void SoapyDevice::setSampleRate(int direction, size_t channel, double rate)
{
    const std::lock_guard lock(boardMutex_);
    const bool live = change(direction, channel, &StreamConfig::sampleRateHz, rate, "sample rate",
                             &ISdrDevice::setSampleRate, validText(sampleRateRanges(), "Hz"));
    if (live && direction == SOAPY_SDR_RX) {
        // Samples read at the old rate are not handed out after it.
        liveRxRetunes_.fetch_add(1, std::memory_order_release);
    }
}

double SoapyDevice::getSampleRate(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    // The rate the board settled on, where it reports one (bladeRF rounds).
    const double actual = direction == SOAPY_SDR_RX ? board_->actualRxSampleRateHz() : 0.0;
    return actual > 0.0 ? actual : side(direction).config.sampleRateHz;
}

SoapySDR::RangeList SoapyDevice::sampleRateRanges() const
{
    // One sample clock serves both directions of each family.
    return rangesOf(board_->streamLimits(StreamDirection::rx).sampleRateRangesHz);
}

std::vector<double> SoapyDevice::listSampleRates(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return menuOf(sampleRateRanges());
}

SoapySDR::RangeList SoapyDevice::getSampleRateRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return sampleRateRanges();
}

void SoapyDevice::setBandwidth(int direction, size_t channel, double bandwidth)
{
    const std::lock_guard lock(boardMutex_);
    if (bandwidth < 0.0) {
        checkChannel(direction, channel);
        fail(std::string("veltrano: the ") + directionName(direction) + " bandwidth takes " +
             validText(bandwidthRanges(direction), "Hz") + ", not " + numberText(bandwidth));
    }
    // A receive width goes to the board at once: a receive configuration may
    // leave the filter to the library at each rate (a HackRF's does) unless one
    // was chosen this way. A transmit configuration carries its width, and 0
    // asks for the board's own choice at the rate, which configuring makes.
    change(direction, channel, &StreamConfig::bandwidthHz, bandwidth, "bandwidth", &ISdrDevice::setBandwidth,
           validText(bandwidthRanges(direction), "Hz"), direction == SOAPY_SDR_RX && bandwidth > 0.0);
}

double SoapyDevice::getBandwidth(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    // The filter in force where the board reports it, else what was asked for.
    return board_->bandwidthHz(chainOf(direction)).value_or(side(direction).config.bandwidthHz);
}

SoapySDR::RangeList SoapyDevice::bandwidthRanges(int direction) const
{
    return rangesOf(board_->bandwidthRangesHz(chainOf(direction)));
}

std::vector<double> SoapyDevice::listBandwidths(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return menuOf(bandwidthRanges(direction));
}

SoapySDR::RangeList SoapyDevice::getBandwidthRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return bandwidthRanges(direction);
}

} // namespace veltrano::soapy
