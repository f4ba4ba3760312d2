// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfEnumeration.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfText.h"

#include <memory>

namespace veltrano {

std::vector<BladeRfDeviceSummary> enumerateBladeRfDevices()
{
    std::vector<BladeRfDeviceSummary> devices;
    if (!bladeRfLibraryAvailable()) {
        return devices;
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf_devinfo* list = nullptr;
    const int count = api.getDeviceList(&list);
    // On failure the library hands out no list, so there is nothing to free.
    if (count < 1 || list == nullptr) {
        return devices;
    }
    const std::unique_ptr<bladerf_devinfo, decltype(api.freeDeviceList)> owner(list, api.freeDeviceList);
    devices.reserve(static_cast<std::size_t>(count));
    for (int position = 1; position <= count; ++position) {
        const bladerf_devinfo& entry = list[position - 1];
        BladeRfDeviceSummary summary{detail::fixedFieldText(entry.serial), detail::fixedFieldText(entry.product)};
        if (summary.serial.empty()) {
            summary.serial = "BLADERF-USB-" + std::to_string(position);
        }
        if (summary.label.empty()) {
            summary.label = "Nuand bladeRF";
        }
        devices.push_back(std::move(summary));
    }
    return devices;
}

} // namespace veltrano
