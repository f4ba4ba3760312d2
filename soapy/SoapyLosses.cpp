// SPDX-License-Identifier: MIT
// The backends' loss counters, through the concrete device types: each one
// readable as a setting, and summed per direction for the stream reports.
#include "soapy/SoapyDevice.h"

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

namespace veltrano::soapy {

std::vector<SoapyDevice::LossCounter> SoapyDevice::lossCounters() const
{
    if (family_ == BoardFamily::hackRf) {
        const auto& hackRf = static_cast<const HackRfSdrDevice&>(*board_);
        return {{"rx_dropped_bytes", SOAPY_SDR_RX, hackRf.rxDroppedBytes()},
                {"sweep_dropped_blocks", SOAPY_SDR_RX, hackRf.sweepDroppedBlocks()},
                {"rx_push_to_talk_gaps", SOAPY_SDR_RX, rxPushToTalkGaps_},
                {"tx_underrun_bytes", SOAPY_SDR_TX, hackRf.txUnderrunBytes()}};
    }
    const auto& bladeRf = static_cast<const BladeRfSdrDevice&>(*board_);
    return {{"rx_overruns", SOAPY_SDR_RX, bladeRf.rxOverrunCount()},
            {"rx_lost_samples", SOAPY_SDR_RX, bladeRf.rxLostSamples(), true}};
}

std::uint64_t SoapyDevice::losses(int direction) const
{
    std::uint64_t total = 0;
    for (const LossCounter& counter : lossCounters()) {
        total += counter.direction == direction && !counter.sizeOnly ? counter.count : 0;
    }
    return total;
}

} // namespace veltrano::soapy
