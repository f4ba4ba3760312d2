// SPDX-License-Identifier: MIT
#include "BladeRfBus.h"

namespace veltrano::sim::usbbladerf {

BladeRfBus& bladeRfBus()
{
    static BladeRfBus bus;
    return bus;
}

} // namespace veltrano::sim::usbbladerf
