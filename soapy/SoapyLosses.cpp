// Loss counters: none of the backends counts its losses yet, so nothing is
// reported. Replaced by the backends' counters as they arrive.
#include "soapy/SoapyDevice.h"

namespace veltrano::soapy {

std::uint64_t SoapyDevice::receiveLosses() const
{
    return 0;
}

std::uint64_t SoapyDevice::transmitLosses() const
{
    return 0;
}

} // namespace veltrano::soapy
