// SPDX-License-Identifier: MIT
// The HackRF's hardware sync as the setting hw_sync (also a device
// argument): true makes each start wait for a pulse on the board's sync
// input, the board's slave role in both directions; false starts at once.
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Types.hpp>

namespace veltrano::soapy {
namespace {

constexpr const char* kHardwareSync = "hw_sync";
constexpr StreamDirection kDirections[] = {StreamDirection::rx, StreamDirection::tx};

} // namespace

bool SoapyDevice::offersHardwareSync() const
{
    return family_ == BoardFamily::hackRf && board_->supportsTrigger(StreamDirection::rx);
}

std::optional<SoapySDR::ArgInfo> SoapyDevice::hardwareSyncInfo() const
{
    if (!offersHardwareSync()) {
        return std::nullopt;
    }
    SoapySDR::ArgInfo info;
    info.key = kHardwareSync;
    info.name = "Hardware sync";
    info.type = SoapySDR::ArgInfo::BOOL;
    info.description = "Each stream start waits for a pulse on the sync input (header P28 pin 16), as the board "
                       "cabled to it from P28 pin 15 starts; a start the board does not wait on is refused. Written "
                       "while neither stream runs; also a device argument.";
    info.value = readHardwareSync();
    return info;
}

bool SoapyDevice::writeHardwareSync(const std::string& key, const std::string& value)
{
    if (key != kHardwareSync || !offersHardwareSync()) {
        return false;
    }
    const bool enabled = SoapySDR::StringToSetting<bool>(value);
    for (const StreamDirection direction : kDirections) {
        if (!board_->supportsTrigger(direction)) {
            continue;
        }
        if (!board_->setTrigger(direction, enabled ? TriggerRole::slave : TriggerRole::off, "") ||
            (enabled && !board_->armTrigger(direction, true))) {
            fail("veltrano: hw_sync: " + board_->lastError());
        }
    }
    hardwareSync_ = enabled;
    return true;
}

std::string SoapyDevice::readHardwareSync() const
{
    return SoapySDR::SettingToString(hardwareSync_);
}

} // namespace veltrano::soapy
