// SPDX-License-Identifier: MIT
// The board's sensors as SoapySDR's: board-wide ones by key, a chain's
// through the channel overloads. A sensor that cannot be read throws with
// the board's words for why, rather than handing back a made-up value.
// Beside the board's own: "ref_locked", the PLL's lock to its reference,
// where the board has a PLL.
#include "soapy/SettingText.h"
#include "soapy/SoapyDevice.h"

#include <algorithm>

namespace veltrano::soapy {
namespace {

SoapySDR::ArgInfo argInfoOf(const SensorDescription& sensor)
{
    SoapySDR::ArgInfo info;
    info.key = sensor.name;
    info.name = sensor.label;
    info.description = sensor.description;
    info.units = sensor.units;
    info.type = sensor.boolean ? SoapySDR::ArgInfo::BOOL : SoapySDR::ArgInfo::FLOAT;
    return info;
}

std::vector<std::string> keysOf(const std::vector<SensorDescription>& sensors)
{
    std::vector<std::string> keys;
    for (const SensorDescription& sensor : sensors) {
        keys.push_back(sensor.name);
    }
    return keys;
}

const SensorDescription* find(const std::vector<SensorDescription>& sensors, const std::string& key)
{
    const auto found = std::find_if(sensors.begin(), sensors.end(),
                                    [&](const SensorDescription& sensor) { return sensor.name == key; });
    return found == sensors.end() ? nullptr : &*found;
}

constexpr const char* kReferenceLock = "ref_locked";

} // namespace

std::vector<std::string> SoapyDevice::listSensors() const
{
    const std::lock_guard lock(boardMutex_);
    std::vector<std::string> keys = keysOf(board_->sensors());
    if (offersReferenceLock()) {
        keys.emplace_back(kReferenceLock);
    }
    return keys;
}

SoapySDR::ArgInfo SoapyDevice::getSensorInfo(const std::string& key) const
{
    const std::lock_guard lock(boardMutex_);
    if (key == kReferenceLock && offersReferenceLock()) {
        return argInfoOf({kReferenceLock, "Reference locked", "", true,
                          "The PLL is locked to the reference clock (clock source external-pll)"});
    }
    return sensorInfo(board_->sensors(), key, "the board");
}

std::string SoapyDevice::readSensor(const std::string& key) const
{
    const std::lock_guard lock(boardMutex_);
    if (key == kReferenceLock && offersReferenceLock()) {
        return referenceLockText();
    }
    const std::vector<SensorDescription> sensors = board_->sensors();
    return sensorText(find(sensors, key), board_->readSensor(key), key);
}

std::vector<std::string> SoapyDevice::listSensors(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    const std::lock_guard lock(boardMutex_);
    return keysOf(board_->channelSensors(chainOf(direction)));
}

SoapySDR::ArgInfo SoapyDevice::getSensorInfo(int direction, size_t channel, const std::string& key) const
{
    checkChannel(direction, channel);
    const std::lock_guard lock(boardMutex_);
    return sensorInfo(board_->channelSensors(chainOf(direction)), key, "the channel");
}

std::string SoapyDevice::readSensor(int direction, size_t channel, const std::string& key) const
{
    checkChannel(direction, channel);
    const std::lock_guard lock(boardMutex_);
    const std::vector<SensorDescription> sensors = board_->channelSensors(chainOf(direction));
    return sensorText(find(sensors, key), board_->readChannelSensor(chainOf(direction), key), key);
}

SoapySDR::ArgInfo SoapyDevice::sensorInfo(const std::vector<SensorDescription>& sensors, const std::string& key,
                                          const char* where) const
{
    const SensorDescription* sensor = find(sensors, key);
    if (sensor == nullptr) {
        fail(std::string("veltrano: ") + where + " has no sensor \"" + key + "\"");
    }
    return argInfoOf(*sensor);
}

std::string SoapyDevice::sensorText(const SensorDescription* sensor, const SensorReading& reading,
                                    const std::string& key) const
{
    if (!reading.value) {
        fail("veltrano: sensor \"" + key + "\" cannot be read: " + reading.failure);
    }
    if (sensor != nullptr && sensor->boolean) {
        return *reading.value != 0.0 ? "true" : "false";
    }
    return numberText(*reading.value);
}

} // namespace veltrano::soapy
