// Loss counters: none of the backends counts its losses yet, so nothing is
// reported. Replaced by the backends' counters as they arrive.
#include "soapy/SoapyDevice.h"

namespace veltrano::soapy {

std::vector<SoapyDevice::LossCounter> SoapyDevice::lossCounters() const
{
    return {};
}

std::uint64_t SoapyDevice::losses(int direction) const
{
    std::uint64_t total = 0;
    for (const LossCounter& counter : lossCounters()) {
        total += counter.direction == direction ? counter.count : 0;
    }
    return total;
}

} // namespace veltrano::soapy
