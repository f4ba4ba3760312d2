// SPDX-License-Identifier: MIT
// What a bladeRF and its library say about themselves, and the bladeRF 2.0's
// AD9361 sensors. A bladeRF1 has no AD9361: its library logs an error for
// every question about one, so it is never asked.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSdrDevice.h"

#include <cmath>
#include <mutex>

namespace veltrano {
namespace {

constexpr const char* kTemperatureSensor = "rfic_temperature";
constexpr const char* kRssiSensor = "rssi";

std::string versionText(const struct bladerf_version& version)
{
    if (version.describe != nullptr && version.describe[0] != '\0') {
        return version.describe;
    }
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
}

// The part as the board's own label names it; nullopt when the library cannot tell.
std::optional<std::string> fpgaSizeText(bladerf_fpga_size size)
{
    switch (size) {
    case BLADERF_FPGA_40KLE:
        return "40 kLE";
    case BLADERF_FPGA_115KLE:
        return "115 kLE";
    case BLADERF_FPGA_A4:
        return "A4";
    case BLADERF_FPGA_A5:
        return "A5";
    case BLADERF_FPGA_A9:
        return "A9";
    default:
        return std::nullopt;
    }
}

SensorReading failedCall(const char* call, int code)
{
    std::string why = std::string(call) + ": " + detail::bladeRfErrorText(bladeRfApi(), code);
    if (code == BLADERF_ERR_UNSUPPORTED) {
        why += " (libbladeRF reads it only while it drives the AD9361 itself, in host tuning mode)";
    }
    return {std::nullopt, why};
}

} // namespace

BoardIdentity BladeRfSdrDevice::boardIdentity() const
{
    const BladeRfApi& api = bladeRfApi();
    BoardIdentity identity;
    if (api.version != nullptr) {
        struct bladerf_version version {};
        api.version(&version);
        identity.libraryVersion = versionText(version);
    }
    if (!isOpen()) {
        return identity;
    }
    const std::lock_guard lock(deviceMutex_);
    struct bladerf_version version {};
    if (api.fwVersion != nullptr && api.fwVersion(handle_->device, &version) == 0) {
        identity.firmwareVersion = versionText(version);
    }
    version = {};
    if (api.fpgaVersion != nullptr && api.fpgaVersion(handle_->device, &version) == 0) {
        identity.fpgaVersion = versionText(version);
    }
    bladerf_fpga_size size = BLADERF_FPGA_UNKNOWN;
    if (api.getFpgaSize != nullptr && api.getFpgaSize(handle_->device, &size) == 0) {
        identity.fpgaSize = fpgaSizeText(size);
    }
    if (api.isFpgaConfigured != nullptr) {
        if (const int configured = api.isFpgaConfigured(handle_->device); configured >= 0) {
            identity.fpgaLoaded = configured > 0;
        }
    }
    return identity;
}

std::vector<SensorDescription> BladeRfSdrDevice::sensors() const
{
    if (!isOpen() || !bladeRf2Parts_ || bladeRfApi().getRficTemperature == nullptr) {
        return {};
    }
    return {{kTemperatureSensor, "RFIC temperature", "°C", false, "the AD9361's die temperature"}};
}

std::vector<SensorDescription> BladeRfSdrDevice::channelSensors(StreamDirection direction) const
{
    if (direction != StreamDirection::rx || !channelOf(direction) || !bladeRf2Parts_ ||
        bladeRfApi().getRficRssi == nullptr) {
        return {};
    }
    return {{kRssiSensor, "RSSI", "dB", false, "the AD9361's received signal strength (preamble)"}};
}

SensorReading BladeRfSdrDevice::readSensor(const std::string& name)
{
    if (name != kTemperatureSensor) {
        return ISdrDevice::readSensor(name);
    }
    if (!bladeRf2Parts_) {
        return {std::nullopt, "a bladeRF1 has no RFIC temperature sensor"};
    }
    const BladeRfApi& api = bladeRfApi();
    if (api.getRficTemperature == nullptr) {
        return {std::nullopt, "the loaded libbladeRF has no bladerf_get_rfic_temperature"};
    }
    if (!isOpen()) {
        return {std::nullopt, "the board is closed"};
    }
    const std::lock_guard lock(deviceMutex_);
    float celsius = 0.0f;
    if (const int code = api.getRficTemperature(handle_->device, &celsius); code != 0) {
        return failedCall("bladerf_get_rfic_temperature", code);
    }
    // The chip measures whole millidegrees at best; rounding there keeps the
    // float's tail (40.351001739502) out of what clients print.
    return {std::round(static_cast<double>(celsius) * 1000.0) / 1000.0, {}};
}

SensorReading BladeRfSdrDevice::readChannelSensor(StreamDirection direction, const std::string& name)
{
    if (name != kRssiSensor || direction != StreamDirection::rx) {
        return ISdrDevice::readChannelSensor(direction, name);
    }
    if (!bladeRf2Parts_) {
        return {std::nullopt, "a bladeRF1 has no RSSI sensor"};
    }
    const BladeRfApi& api = bladeRfApi();
    if (api.getRficRssi == nullptr) {
        return {std::nullopt, "the loaded libbladeRF has no bladerf_get_rfic_rssi"};
    }
    const auto channel = channelOf(direction);
    if (!channel) {
        return {std::nullopt, "the board has no receive channel open"};
    }
    const std::lock_guard lock(deviceMutex_);
    int preamble = 0;
    int symbol = 0;
    if (const int code = api.getRficRssi(handle_->device, *channel, &preamble, &symbol); code != 0) {
        return failedCall("bladerf_get_rfic_rssi", code);
    }
    return {static_cast<double>(preamble), {}};
}

} // namespace veltrano
