// SPDX-License-Identifier: MIT
// What a HackRF and libhackrf say about themselves, and the one sensor the
// board has: whether a clock comes in on its CLKIN port.
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <cstdio>

namespace veltrano {
namespace {

constexpr const char* kClockInSensor = "clock_in";
// Firmware below this USB API version has no clock-in status request.
constexpr std::uint16_t kClockInUsbApi = 0x0106;

std::optional<std::string> nonEmpty(const char* text)
{
    if (text == nullptr || text[0] == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace

BoardIdentity HackRfSdrDevice::boardIdentity() const
{
    const HackRfApi& api = hackRfApi();
    BoardIdentity identity;
    // The release ("2022.09.1") names what users install; older libraries
    // have only the version, which a build from git fills with its hash.
    if (api.libraryRelease != nullptr) {
        identity.libraryVersion = nonEmpty(api.libraryRelease());
    }
    if (!identity.libraryVersion && api.libraryVersion != nullptr) {
        identity.libraryVersion = nonEmpty(api.libraryVersion());
    }
    if (!isOpen()) {
        return identity;
    }
    if (api.versionStringRead != nullptr && !firmwareVersion_.empty()) {
        identity.firmwareVersion = firmwareVersion_;
    }
    if (usbApiVersion_ != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "%x.%02x", usbApiVersion_ >> 8, usbApiVersion_ & 0xFF);
        identity.usbApiVersion = text;
    }
    std::uint8_t value = 0;
    if (api.boardIdRead != nullptr && api.boardIdName != nullptr &&
        api.boardIdRead(handle_->device, &value) == HACKRF_SUCCESS) {
        identity.boardId = nonEmpty(api.boardIdName(static_cast<hackrf_board_id>(value)));
    }
    if (api.boardRevRead != nullptr && api.boardRevName != nullptr &&
        api.boardRevRead(handle_->device, &value) == HACKRF_SUCCESS) {
        identity.boardRevision = nonEmpty(api.boardRevName(static_cast<hackrf_board_rev>(value)));
    }
    return identity;
}

std::vector<SensorDescription> HackRfSdrDevice::sensors() const
{
    if (!isOpen() || hackRfApi().getClkinStatus == nullptr || usbApiVersion_ < kClockInUsbApi) {
        return {};
    }
    return {{kClockInSensor, "Clock in", "", true, "a reference clock is present on the CLKIN port"}};
}

SensorReading HackRfSdrDevice::readSensor(const std::string& name)
{
    if (name != kClockInSensor) {
        return ISdrDevice::readSensor(name);
    }
    const HackRfApi& api = hackRfApi();
    if (api.getClkinStatus == nullptr) {
        return {std::nullopt, "the loaded libhackrf has no hackrf_get_clkin_status"};
    }
    if (!isOpen()) {
        return {std::nullopt, "the board is closed"};
    }
    if (usbApiVersion_ < kClockInUsbApi) {
        char why[96];
        std::snprintf(why, sizeof why, "the board's firmware (USB API 0x%04x) cannot report it; 0x%04x can",
                      static_cast<unsigned>(usbApiVersion_), static_cast<unsigned>(kClockInUsbApi));
        return {std::nullopt, why};
    }
    std::uint8_t status = 0;
    if (const int result = api.getClkinStatus(handle_->device, &status); result != HACKRF_SUCCESS) {
        return {std::nullopt, "hackrf_get_clkin_status: " + api.error(result)};
    }
    return {status != 0 ? 1.0 : 0.0, {}};
}

} // namespace veltrano
