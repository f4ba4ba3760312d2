// SPDX-License-Identifier: MIT
#pragma once

// Argument checks shared by the simulated entry points.

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veltrano::sim {

// A null device is the caller's mistake and gets the library's invalid-parameter
// error. A pointer that is not an open device is a defect in the device layer:
// stop right there rather than return something plausible.
template <typename Device>
bool validDevice(const Device* device)
{
    if (device == nullptr) {
        return false;
    }
    if (device->magic != Device::kOpenMagic) {
        std::fprintf(stderr, "sim: call on a device that is not open\n");
        std::fflush(stderr);
        std::abort();
    }
    return true;
}

// The enum arrives from the caller and may hold any int; copy its bytes instead
// of loading it as the enum type.
template <typename Enum>
int enumValue(const Enum& value)
{
    static_assert(sizeof(Enum) == sizeof(int));
    int number = 0;
    std::memcpy(&number, &value, sizeof number);
    return number;
}

} // namespace veltrano::sim
