// SPDX-License-Identifier: MIT
// Full duplex on a bladeRF: the switch that lets the receive and the transmit
// stream run side by side, and the one rule the board's clocks add to it.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfSettings.h"

namespace veltrano {

bool BladeRfSdrDevice::supportsFullDuplex() const
{
    return isOpen() && info_.supportsRx && info_.supportsTx;
}

bool BladeRfSdrDevice::setFullDuplex(bool enabled)
{
    if (enabled && !supportsFullDuplex()) {
        return false;
    }
    // Switching it off under two streams would leave a pair the exclusion
    // forbids; switching it on under two cannot happen.
    if (rxStreaming_.load() && txStreaming_.load()) {
        return false;
    }
    fullDuplex_.store(enabled);
    return true;
}

bool BladeRfSdrDevice::fullDuplex() const
{
    return fullDuplex_.load();
}

bool BladeRfSdrDevice::rateClashes(StreamDirection direction, double rateHz) const
{
    if (!sharedSampleClock_ || !fullDuplex_.load()) {
        return false;
    }
    const bool transmit = direction == StreamDirection::tx;
    if (!(transmit ? rxStreaming_ : txStreaming_).load()) {
        return false;
    }
    const double otherRateHz = transmit ? actualRxSampleRateHz_ : txSampleRateHz_.load();
    return detail::wholeSampleRate(rateHz) != detail::wholeSampleRate(otherRateHz);
}

} // namespace veltrano
