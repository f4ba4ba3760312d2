// SPDX-License-Identifier: MIT
#include "soapy/SoapyDevice.h"

#include "device/hackrf/HackRfSdrDevice.h"

#include <SoapySDR/Logger.hpp>

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

} // namespace

SoapyDevice::SoapyDevice(BoardFamily family, std::unique_ptr<ISdrDevice> board)
    : family_(family), traits_(traitsOf(family)), board_(std::move(board))
{
    rx_.config = traits_.initialRx;
    tx_.config = traits_.initialTx;
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
    if (direction == SOAPY_SDR_TX) {
        return board_->configureTx(config);
    }
    if (sweepRequested_) {
        return board_->configureNativeSweep(config, sweepStartHz_, sweepStopHz_);
    }
    return board_->configureRx(config) &&
           (hopFrequenciesHz_.empty() || board_->prepareRxFrequencies(hopFrequenciesHz_));
}

void SoapyDevice::reconfigure(int direction, const char* what, const StreamConfig& wanted)
{
    Side& own = side(direction);
    if (own.active) {
        fail(std::string("veltrano: cannot change the ") + what + " while the " + directionName(direction) +
             " stream is active; deactivate it first");
    }
    if (side(direction == SOAPY_SDR_TX ? SOAPY_SDR_RX : SOAPY_SDR_TX).active) {
        // The board takes no configuration while the other direction
        // streams; this one is applied when its own stream starts.
        own.config = wanted;
        return;
    }
    if (!configure(direction, wanted)) {
        fail(std::string("veltrano: the board refused the ") + directionName(direction) + " " + what + boardReason());
    }
    own.config = wanted;
}

void SoapyDevice::change(int direction, size_t channel, double StreamConfig::*field, double value, const char* what)
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    StreamConfig wanted = side(direction).config;
    wanted.*field = value;
    reconfigure(direction, what, wanted);
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
    if (family_ == BoardFamily::hackRf) {
        const auto& hackRf = static_cast<const HackRfSdrDevice&>(*board_);
        if (!hackRf.firmwareVersion().empty()) {
            hardware["firmware_version"] = hackRf.firmwareVersion();
        }
        if (hackRf.usbApiVersion() != 0) {
            char text[8];
            std::snprintf(text, sizeof text, "%x.%02x", hackRf.usbApiVersion() >> 8, hackRf.usbApiVersion() & 0xFF);
            hardware["usb_api_version"] = text;
        }
    }
    return hardware;
}

size_t SoapyDevice::getNumChannels(int direction) const
{
    const DeviceInfo info = board_->info();
    if (direction == SOAPY_SDR_RX) {
        return info.supportsRx ? 1 : 0;
    }
    return direction == SOAPY_SDR_TX && info.supportsTx ? 1 : 0;
}

bool SoapyDevice::getFullDuplex(int, size_t) const
{
    return false;
}

// ---- Gain -----------------------------------------------------------------

void SoapyDevice::setGain(int direction, size_t channel, double value)
{
    change(direction, channel, &StreamConfig::gainDb, value, "gain");
}

double SoapyDevice::getGain(int direction, size_t channel) const
{
    return requested(direction, channel, &StreamConfig::gainDb);
}

SoapySDR::Range SoapyDevice::getGainRange(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    const GainRangeDb& gain = direction == SOAPY_SDR_TX ? traits_.txGain : traits_.rxGain;
    return {gain.minimum, gain.maximum, gain.step};
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

void SoapyDevice::setFrequency(int direction, size_t channel, const std::string& name, double frequency,
                               const SoapySDR::Kwargs& args)
{
    if (name != "RF") {
        fail("veltrano: no frequency element " + name);
    }
    setFrequency(direction, channel, frequency, args);
}

double SoapyDevice::getFrequency(int direction, size_t channel) const
{
    return requested(direction, channel, &StreamConfig::frequencyHz);
}

double SoapyDevice::getFrequency(int direction, size_t channel, const std::string& name) const
{
    if (name != "RF") {
        fail("veltrano: no frequency element " + name);
    }
    return getFrequency(direction, channel);
}

std::vector<std::string> SoapyDevice::listFrequencies(int, size_t) const
{
    return {"RF"};
}

SoapySDR::RangeList SoapyDevice::getFrequencyRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    return rangesOf(direction == SOAPY_SDR_TX ? board_->txFrequencyRanges() : board_->rxFrequencyRanges());
}

SoapySDR::RangeList SoapyDevice::getFrequencyRange(int direction, size_t channel, const std::string& name) const
{
    if (name != "RF") {
        fail("veltrano: no frequency element " + name);
    }
    return getFrequencyRange(direction, channel);
}

// ---- Sample rate and bandwidth ----------------------------------------------

void SoapyDevice::setSampleRate(int direction, size_t channel, double rate)
{
    change(direction, channel, &StreamConfig::sampleRateHz, rate, "sample rate");
}

double SoapyDevice::getSampleRate(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    // The rate the board settled on, where it reports one (bladeRF rounds).
    const double actual = direction == SOAPY_SDR_RX ? board_->actualRxSampleRateHz() : 0.0;
    return actual > 0.0 ? actual : side(direction).config.sampleRateHz;
}

SoapySDR::RangeList SoapyDevice::getSampleRateRange(int direction, size_t channel) const
{
    const std::lock_guard lock(boardMutex_);
    checkChannel(direction, channel);
    const double maximum = board_->maximumRxSampleRateHz();
    if (maximum < traits_.minimumSampleRateHz) {
        return {};
    }
    return {SoapySDR::Range(traits_.minimumSampleRateHz, maximum)};
}

void SoapyDevice::setBandwidth(int direction, size_t channel, double bandwidth)
{
    change(direction, channel, &StreamConfig::bandwidthHz, bandwidth, "bandwidth");
}

double SoapyDevice::getBandwidth(int direction, size_t channel) const
{
    return requested(direction, channel, &StreamConfig::bandwidthHz);
}

SoapySDR::RangeList SoapyDevice::getBandwidthRange(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    if (direction != SOAPY_SDR_TX || traits_.maximumTxBandwidthHz <= 0.0) {
        return {};
    }
    return {SoapySDR::Range(traits_.minimumTxBandwidthHz, traits_.maximumTxBandwidthHz)};
}

} // namespace veltrano::soapy
