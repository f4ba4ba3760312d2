// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfEnumeration.h"

#include "device/hackrf/HackRfApi.h"

#include <cstdio>
#include <memory>

namespace veltrano {
namespace {

std::string placeholderSerial(std::size_t position)
{
    char text[32];
    std::snprintf(text, sizeof text, "HACKRF-USB-%02zu", position);
    return text;
}

} // namespace

std::vector<HackRfDeviceSummary> enumerateHackRfDevices()
{
    std::vector<HackRfDeviceSummary> devices;
    if (!hackRfLibraryAvailable()) {
        return devices;
    }
    const HackRfApi& api = hackRfApi();
    hackrf_device_list_t* list = api.deviceList();
    if (list == nullptr) {
        return devices;
    }
    // Freed on every way out, also when copying a serial runs out of memory.
    const std::unique_ptr<hackrf_device_list_t, decltype(api.deviceListFree)> owner(list, api.deviceListFree);
    const int count = list->devicecount;
    if (count > 0) {
        devices.reserve(static_cast<std::size_t>(count));
        for (int index = 0; index < count; ++index) {
            const char* serial = list->serial_numbers != nullptr ? list->serial_numbers[index] : nullptr;
            if (serial != nullptr && serial[0] != '\0') {
                devices.push_back({serial});
            } else {
                devices.push_back({placeholderSerial(devices.size() + 1)});
            }
        }
    }
    return devices;
}

} // namespace veltrano
