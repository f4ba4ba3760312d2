// SPDX-License-Identifier: MIT
// Device settings: what SoapySDR has no call for. The HackRF RX amplifier and
// native sweep, the bladeRF fast-retune hop set, the antenna ports' power
// under the names the families' other modules use, and read-only counters.
#include "soapy/SoapyDevice.h"
#include "soapy/SettingText.h"

#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Types.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace veltrano::soapy {
namespace {

constexpr const char* kRxAmplifier = "rx_amplifier";
constexpr const char* kNativeSweep = "native_sweep";
constexpr const char* kSweepBlock = "sweep_block";
constexpr const char* kHopFrequencies = "rx_hop_frequencies";
constexpr const char* kFastRetunes = "fast_rx_retunes";
constexpr const char* kRegularRetunes = "regular_rx_retunes";
constexpr const char* kFailedFastRetunes = "failed_fast_rx_retunes";
constexpr const char* kLastFastRetuneError = "last_fast_rx_retune_error";
constexpr const char* kLastError = "last_error";
constexpr const char* kOverflowPolicy = "rx_overflow_policy";
// The board's loss limits, each a setting and a device argument, where the board has one.
struct BoardLimitSetting {
    const char* key;
    const char* name;
    int direction;
    const char* description;
};
constexpr BoardLimitSetting kBoardLimits[] = {
    {"rx_overrun_limit", "RX overrun limit", SOAPY_SDR_RX,
     "Bytes the board may fall behind the host before it stops the receive stream (0: never); taken up when a "
     "stream starts; refused by a board older than USB API 0x0106. Also a device argument."},
    {"tx_underrun_limit", "TX underrun limit", SOAPY_SDR_TX,
     "Bytes of zeros the board may send for want of host transfers before it stops the transmit stream (0: "
     "never); taken up when a stream starts; refused by a board older than USB API 0x0106. Also a device "
     "argument."},
};
constexpr const char* kAntennaPlan = "operacake_freq_plan";

SoapySDR::ArgInfo setting(const char* key, const char* name, SoapySDR::ArgInfo::Type type, const char* description,
                          const std::string& value = "")
{
    SoapySDR::ArgInfo info;
    info.key = key;
    info.name = name;
    info.type = type;
    info.description = description;
    info.value = value;
    return info;
}

// Frequencies in Hz separated by commas; false on anything else.
bool parseFrequencyList(const std::string& text, std::vector<double>& frequenciesHz)
{
    frequenciesHz.clear();
    std::istringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        std::istringstream number(item);
        double value = 0.0;
        if (!(number >> value) || !(number >> std::ws).eof() || !std::isfinite(value) || value <= 0.0) {
            return false;
        }
        frequenciesHz.push_back(value);
    }
    return true;
}

std::string frequencyListText(const std::vector<double>& frequenciesHz)
{
    std::string text;
    for (const double frequency : frequenciesHz) {
        text += (text.empty() ? "" : ",") + numberText(frequency);
    }
    return text;
}

} // namespace

SoapySDR::ArgInfoList SoapyDevice::getSettingInfo() const
{
    const std::lock_guard lock(boardMutex_);
    return settingInfo();
}

SoapySDR::ArgInfoList SoapyDevice::settingInfo() const
{
    using Type = SoapySDR::ArgInfo::Type;
    SoapySDR::ArgInfoList settings;
    if (board_->supportsRxAmplifier()) {
        settings.push_back(
            setting(kRxAmplifier, "RX amplifier", Type::BOOL, "The receive RF amplifier (about 14 dB)", "false"));
    }
    for (const BiasTeeSetting& biasTee : traits_.biasTee) {
        if (biasTee.key != nullptr && board_->supportsBiasTee(biasTee.direction)) {
            settings.push_back(setting(biasTee.key, biasTee.key, Type::BOOL,
                                       biasTee.direction == StreamDirection::tx
                                           ? "Power fed to the TX antenna port (bias tee); may change while streaming"
                                           : "Power fed to the RX antenna port (bias tee); may change while streaming",
                                       "false"));
        }
    }
    if (board_->supportsNativeSweep()) {
        settings.push_back(setting(kNativeSweep, "Native sweep", Type::STRING,
                                   "START:STOP in Hz: the RX stream delivers hardware sweep blocks over that range; "
                                   "empty for ordinary reception. Written while the RX stream is inactive."));
        settings.push_back(setting(kSweepBlock, "Sweep block", Type::STRING,
                                   "Read only: centre, rate, pass start and usable ranges of the sweep block the "
                                   "last RX read came from"));
    }
    if (board_->supportsFastRxRetune()) {
        settings.push_back(setting(kHopFrequencies, "RX hop frequencies", Type::STRING,
                                   "Comma-separated frequencies in Hz prepared for fast retuning while the RX stream "
                                   "runs. Written while the RX stream is inactive."));
        settings.push_back(setting(kFastRetunes, "Fast RX retunes", Type::INT, "Read only"));
        settings.push_back(setting(kRegularRetunes, "Regular RX retunes", Type::INT, "Read only"));
        settings.push_back(setting(kFailedFastRetunes, "Failed fast RX retunes", Type::INT, "Read only"));
        settings.push_back(setting(kLastFastRetuneError, "Last fast RX retune error", Type::INT, "Read only"));
    }
    if (board_->supportsRxOverflowPolicy()) {
        SoapySDR::ArgInfo policy =
            setting(kOverflowPolicy, "RX overflow policy", Type::STRING,
                    "What a reader gets after the receive ring overflowed: keep_oldest, every stored sample up to "
                    "the loss; keep_fresh, the newest samples (what was stored before the loss is skipped and "
                    "counted in rx_skipped_bytes). Also a stream argument; may change while streaming.",
                    "keep_oldest");
        policy.options = {"keep_oldest", "keep_fresh"};
        settings.push_back(policy);
    }
    for (const BoardLimitSetting& limit : kBoardLimits) {
        if (board_->boardLossLimit(chainOf(limit.direction))) {
            settings.push_back(
                setting(limit.key, limit.name, Type::INT, limit.description, boardLimit(limit.direction)));
        }
    }
    if (offersAntennaPlan()) {
        settings.push_back(
            setting(kAntennaPlan, "Opera Cake frequency plan", Type::STRING,
                    "ANTENNA:LOW-HIGH in whole MHz, separated by semicolons (\"A1:2400-2500;B2:100-900\"): "
                    "the board switches to the antenna of the range holding each frequency it tunes "
                    "to (the last range's outside them all); empty: the antenna chosen by name. "
                    "Also a device argument.",
                    ""));
    }
    for (const ISdrDevice::AttachableAccessory& accessory : board_->attachableAccessories()) {
        // A board that cannot detect it has it only once a client says so.
        SoapySDR::ArgInfo attach =
            setting(accessory.name.c_str(), accessory.name.c_str(), Type::STRING,
                    "Attaches the expansion board with this mode (for the XB-200 its filter bank: auto follows the "
                    "frequency); written while neither stream runs; also a device argument. Empty: not attached.");
        attach.options = accessory.options;
        settings.push_back(attach);
    }
    appendSyncSettingInfo(settings);
    for (const LossCounter& counter : lossCounters()) {
        settings.push_back(
            setting(counter.setting, counter.setting, Type::INT, "Read only: losses of the running stream"));
    }
    if (const auto hardwareSync = hardwareSyncInfo()) {
        settings.push_back(*hardwareSync);
    }
    settings.push_back(setting(kLastError, "Last board error", Type::STRING, "Read only"));
    return settings;
}

void SoapyDevice::writeSetting(const std::string& key, const std::string& value)
{
    const std::lock_guard lock(boardMutex_);
    if (key == kRxAmplifier && board_->supportsRxAmplifier()) {
        if (!board_->setRxAmplifier(SoapySDR::StringToSetting<bool>(value))) {
            fail("veltrano: the board refused to switch the RX amplifier" + boardReason());
        }
        return;
    }
    for (const BiasTeeSetting& biasTee : traits_.biasTee) {
        if (biasTee.key == nullptr || key != biasTee.key) {
            continue;
        }
        bool enabled = false;
        if (!parseSwitch(value, enabled)) {
            fail("veltrano: " + key + " takes true or false, not '" + value + "'");
        }
        if (!board_->supportsBiasTee(biasTee.direction)) {
            fail("veltrano: this board has no bias tee to switch with " + key + boardReason());
        }
        if (!board_->setBiasTee(biasTee.direction, enabled)) {
            fail("veltrano: the board refused to switch " + key + boardReason());
        }
        return;
    }
    if (key == kNativeSweep && board_->supportsNativeSweep()) {
        double startHz = 0.0;
        double stopHz = 0.0;
        char separator = 0;
        std::istringstream text(value);
        const bool wantsSweep = !value.empty();
        if (wantsSweep && (!(text >> startHz >> separator >> stopHz) || separator != ':' || !(text >> std::ws).eof())) {
            fail("veltrano: native_sweep takes START:STOP in Hz, not " + value);
        }
        const bool previous = sweepRequested_;
        const double previousStartHz = sweepStartHz_;
        const double previousStopHz = sweepStopHz_;
        sweepRequested_ = wantsSweep;
        sweepStartHz_ = startHz;
        sweepStopHz_ = stopHz;
        try {
            reconfigure(SOAPY_SDR_RX, "native sweep", rx_.config);
        } catch (...) {
            sweepRequested_ = previous;
            sweepStartHz_ = previousStartHz;
            sweepStopHz_ = previousStopHz;
            throw;
        }
        return;
    }
    if (key == kOverflowPolicy && board_->supportsRxOverflowPolicy()) {
        setOverflowPolicy(value);
        return;
    }
    for (const BoardLimitSetting& limit : kBoardLimits) {
        if (key == limit.key && board_->boardLossLimit(chainOf(limit.direction))) {
            setBoardLimit(limit.direction, key, value);
            return;
        }
    }
    if (key == kAntennaPlan && offersAntennaPlan()) {
        writeAntennaPlan(value);
        return;
    }
    for (const ISdrDevice::AttachableAccessory& accessory : board_->attachableAccessories()) {
        if (key == accessory.name) {
            if (!board_->attachAccessory(key, value)) {
                fail("veltrano: " + key + ": " + board_->lastError());
            }
            attachedAccessories_[key] = value;
            return;
        }
    }
    if (writeSyncSetting(key, value) || writeHardwareSync(key, value)) {
        return;
    }
    if (key == kHopFrequencies && board_->supportsFastRxRetune()) {
        std::vector<double> frequenciesHz;
        if (!parseFrequencyList(value, frequenciesHz)) {
            fail("veltrano: rx_hop_frequencies takes frequencies in Hz separated by commas, not " + value);
        }
        std::vector<double> previous = std::move(hopFrequenciesHz_);
        hopFrequenciesHz_ = std::move(frequenciesHz);
        try {
            reconfigure(SOAPY_SDR_RX, "hop frequencies", rx_.config);
        } catch (...) {
            hopFrequenciesHz_ = std::move(previous);
            throw;
        }
        return;
    }
    // A settings dialog writes back every setting the board lists, the
    // read-only ones with the values it read (CubicSDR does, as it starts
    // the board): there is nothing to change, and refusing would fail the
    // whole start.
    const SoapySDR::ArgInfoList listed = settingInfo();
    if (std::any_of(listed.begin(), listed.end(), [&key](const SoapySDR::ArgInfo& info) { return info.key == key; })) {
        SoapySDR::logf(SOAPY_SDR_DEBUG, "veltrano: %s is read only; the write is ignored", key.c_str());
        return;
    }
    std::string keys;
    for (const std::string& writable : writableSettings()) {
        keys += (keys.empty() ? "" : ", ") + writable;
    }
    fail("veltrano: no writable setting '" + key + "'; the writable settings are " + keys);
}

std::vector<std::string> SoapyDevice::writableSettings() const
{
    std::vector<std::string> keys;
    if (board_->supportsRxAmplifier()) {
        keys.emplace_back(kRxAmplifier);
    }
    for (const BiasTeeSetting& biasTee : traits_.biasTee) {
        if (biasTee.key != nullptr && board_->supportsBiasTee(biasTee.direction)) {
            keys.emplace_back(biasTee.key);
        }
    }
    if (board_->supportsNativeSweep()) {
        keys.emplace_back(kNativeSweep);
    }
    if (board_->supportsFastRxRetune()) {
        keys.emplace_back(kHopFrequencies);
    }
    if (offersAntennaPlan()) {
        keys.emplace_back(kAntennaPlan);
    }
    for (const ISdrDevice::AttachableAccessory& accessory : board_->attachableAccessories()) {
        keys.push_back(accessory.name);
    }
    if (board_->supportsRxOverflowPolicy()) {
        keys.emplace_back(kOverflowPolicy);
    }
    for (const BoardLimitSetting& limit : kBoardLimits) {
        if (board_->boardLossLimit(chainOf(limit.direction))) {
            keys.emplace_back(limit.key);
        }
    }
    appendSyncSettingKeys(keys);
    if (offersHardwareSync()) {
        keys.emplace_back(hardwareSyncInfo()->key);
    }
    return keys;
}

void SoapyDevice::applySettingArguments(const SoapySDR::Kwargs& args)
{
    std::vector<std::string> keys;
    {
        const std::lock_guard lock(boardMutex_);
        keys = writableSettings();
    }
    for (const std::string& key : keys) {
        if (const auto found = args.find(key); found != args.end()) {
            writeSetting(key, found->second);
        }
    }
}

std::string SoapyDevice::readSetting(const std::string& key) const
{
    const std::lock_guard lock(boardMutex_);
    if (key == kRxAmplifier && board_->supportsRxAmplifier()) {
        return SoapySDR::SettingToString(board_->gainStageDb(StreamDirection::rx, "AMP").value_or(0.0) > 0.0);
    }
    for (const BiasTeeSetting& biasTee : traits_.biasTee) {
        if (biasTee.key != nullptr && key == biasTee.key && board_->supportsBiasTee(biasTee.direction)) {
            return SoapySDR::SettingToString(board_->biasTee(biasTee.direction));
        }
    }
    if (board_->supportsNativeSweep()) {
        if (key == kNativeSweep) {
            return sweepRequested_ ? numberText(sweepStartHz_) + ":" + numberText(sweepStopHz_) : std::string();
        }
        if (key == kSweepBlock) {
            return rx_.stream == nullptr ? std::string() : describeSweepBlock(*rx_.stream);
        }
    }
    if (board_->supportsFastRxRetune()) {
        if (key == kHopFrequencies) {
            return frequencyListText(hopFrequenciesHz_);
        }
        if (key == kFastRetunes) {
            return std::to_string(board_->fastRxRetuneCount());
        }
        if (key == kRegularRetunes) {
            return std::to_string(board_->regularRxRetuneCount());
        }
        if (key == kFailedFastRetunes) {
            return std::to_string(board_->failedFastRxRetuneCount());
        }
        if (key == kLastFastRetuneError) {
            return std::to_string(board_->lastFastRxRetuneError());
        }
    }
    if (key == kOverflowPolicy && board_->supportsRxOverflowPolicy()) {
        return overflowPolicy();
    }
    for (const BoardLimitSetting& limit : kBoardLimits) {
        if (key == limit.key && board_->boardLossLimit(chainOf(limit.direction))) {
            return boardLimit(limit.direction);
        }
    }
    for (const LossCounter& counter : lossCounters()) {
        if (key == counter.setting) {
            return counter.unknown ? std::string() : std::to_string(counter.count);
        }
    }
    if (key == kAntennaPlan && offersAntennaPlan()) {
        return antennaPlanText();
    }
    for (const ISdrDevice::AttachableAccessory& accessory : board_->attachableAccessories()) {
        if (key == accessory.name) {
            const auto attached = attachedAccessories_.find(key);
            return attached == attachedAccessories_.end() ? std::string() : attached->second;
        }
    }
    if (std::optional<std::string> text = readSyncSetting(key)) {
        return *text;
    }
    if (key == kLastError) {
        return board_->lastError();
    }
    if (const auto hardwareSync = hardwareSyncInfo(); hardwareSync && key == hardwareSync->key) {
        return readHardwareSync();
    }
    fail("veltrano: no setting '" + key + "'; getSettingInfo lists them");
}

} // namespace veltrano::soapy
