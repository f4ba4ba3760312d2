// SPDX-License-Identifier: MIT
#include "UsbBoardModel.h"

#include <libusb-1.0/libusb.h>

#include <cstdlib>

namespace veltrano::sim::usb {

std::string environmentText(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string environmentText(const std::string& prefix, const char* suffix, const char* fallback)
{
    return environmentText((prefix + suffix).c_str(), fallback);
}

UnplugPlan unplugPlanFromEnvironment(const std::string& prefix)
{
    const auto count = [&](const char* suffix) -> std::uint64_t {
        return std::strtoull(environmentText(prefix, suffix, "0").c_str(), nullptr, 0);
    };
    return {count("_UNPLUG_AFTER_BYTES"), count("_UNPLUG_AFTER_LISTINGS")};
}

std::string UsbBoardModel::describe(const ControlRequest& request) const
{
    std::string line = std::string("control ") + (request.deviceToHost ? "in " : "out ") +
                       std::to_string(request.request) + " value=" + std::to_string(request.value) +
                       " index=" + std::to_string(request.index) + " length=" + std::to_string(request.length);
    if (!request.deviceToHost && request.data != nullptr && request.length > 0) {
        static constexpr char digits[] = "0123456789abcdef";
        line += " data=";
        for (std::uint16_t i = 0; i < request.length; ++i) {
            line += digits[request.data[i] >> 4];
            line += digits[request.data[i] & 15];
        }
    }
    return line;
}

int UsbBoardModel::bulk(unsigned char, unsigned char*, std::size_t)
{
    return LIBUSB_ERROR_PIPE;
}

} // namespace veltrano::sim::usb
