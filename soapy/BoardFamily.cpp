// SPDX-License-Identifier: MIT
#include "soapy/BoardFamily.h"

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

namespace veltrano::soapy {
namespace {

// 915 MHz lies inside the receive and transmit ranges of every board of both
// families, so the first stream start works before any tuning.
constexpr double kInitialFrequencyHz = 915'000'000.0;

// HackRF: the receive and transmit paths accept 2 to 20 MS/s. The overall
// receive gain is split into an LNA in 8 dB and a VGA in 2 dB steps (0 to
// 102 dB), the transmit VGA takes 0 to 47 dB, and the transmit baseband
// filter exists from 1.75 to 28 MHz (receive follows the rate unless told).
// Transmit needs a filter width, so its starting configuration names one. The
// transmit ring drains on request, after which the stream has ended.
constexpr FamilyTraits kHackRf{
    .key = "hackrf",
    .minimumSampleRateHz = 2'000'000.0,
    .rxGain = {0.0, 102.0, 2.0},
    .txGain = {0.0, 47.0, 1.0},
    .minimumTxBandwidthHz = 1'750'000.0,
    .maximumTxBandwidthHz = 28'000'000.0,
    .readGranularity = 1,
    .streamMtu = 131'072,
    .drainEndsTxStream = true,
    .initialRx = {kInitialFrequencyHz, 10'000'000.0, 0.0, 40.0},
    .initialTx = {kInitialFrequencyHz, 10'000'000.0, 7'500'000.0, 0.0},
    // One port serves both directions; its power is one switch.
    .rxAntenna = "TX/RX",
    .txAntenna = "TX/RX",
    .biasTee = {{"bias_tx", StreamDirection::tx}, {nullptr, StreamDirection::rx}},
};

// bladeRF: libbladeRF limits rates, gains and filters to the board's own
// ranges; 60 dB is its top receive gain and its nominal 0 dBm transmit level.
// Receive reads whole blocks of 1024 samples. A drained transmit stream goes on.
constexpr FamilyTraits kBladeRf{
    .key = "bladerf",
    .minimumSampleRateHz = 520'834.0,
    .rxGain = {0.0, 60.0, 1.0},
    .txGain = {0.0, 60.0, 1.0},
    .minimumTxBandwidthHz = 0.0,
    .maximumTxBandwidthHz = 0.0,
    .readGranularity = 1024,
    .streamMtu = 16'384,
    .drainEndsTxStream = false,
    .initialRx = {kInitialFrequencyHz, 4'000'000.0, 0.0, 30.0},
    .initialTx = {kInitialFrequencyHz, 4'000'000.0, 0.0, 0.0},
    .rxAntenna = "RX",
    .txAntenna = "TX",
    .biasTee = {{"biastee_rx", StreamDirection::rx}, {"biastee_tx", StreamDirection::tx}},
};

} // namespace

const FamilyTraits& traitsOf(BoardFamily family)
{
    return family == BoardFamily::hackRf ? kHackRf : kBladeRf;
}

bool familyFromKey(const std::string& key, BoardFamily& family)
{
    for (const BoardFamily candidate : {BoardFamily::hackRf, BoardFamily::bladeRf}) {
        if (key == traitsOf(candidate).key) {
            family = candidate;
            return true;
        }
    }
    return false;
}

std::unique_ptr<ISdrDevice> openBoard(BoardFamily family, const std::string& serial)
{
    if (family == BoardFamily::hackRf) {
        return std::make_unique<HackRfSdrDevice>(serial);
    }
    return std::make_unique<BladeRfSdrDevice>(serial);
}

} // namespace veltrano::soapy
