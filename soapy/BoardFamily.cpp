// SPDX-License-Identifier: MIT
#include "soapy/BoardFamily.h"

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

namespace veltrano::soapy {
namespace {

// 915 MHz lies inside the receive and transmit ranges of every board of both
// families, so the first stream start works before any tuning.
constexpr double kInitialFrequencyHz = 915'000'000.0;

// HackRF: transmit needs a filter width, so its starting configuration names one.
constexpr FamilyTraits kHackRf{
    .key = "hackrf",
    .initialRx = {kInitialFrequencyHz, 10'000'000.0, 0.0, 40.0},
    .initialTx = {kInitialFrequencyHz, 10'000'000.0, 7'500'000.0, 0.0},
    // One port serves both directions; its power is one switch.
    .rxAntenna = "TX/RX",
    .txAntenna = "TX/RX",
    .biasTee = {{"bias_tx", StreamDirection::tx}, {nullptr, StreamDirection::rx}},
    // The ring's overflows are counted as the reader reaches them; the bytes
    // are counted as they are dropped.
    .losses = {{"rx_ring_overflows", LossField::rxOverruns},
               {"rx_board_shortfalls", LossField::rxBoardShortfalls},
               {"rx_dropped_bytes", LossField::rxDroppedBytes, true},
               {"rx_skipped_bytes", LossField::rxSkippedBytes, true},
               {"rx_discarded_samples", LossField::rxDiscardedSamples, true},
               {"sweep_dropped_blocks", LossField::sweepDroppedBlocks},
               {"rx_push_to_talk_gaps", LossField::rxPushToTalkGaps},
               {"tx_underrun_bytes", LossField::txUnderrunBytes},
               {"tx_board_shortfalls", LossField::txBoardShortfalls}},
};

constexpr FamilyTraits kBladeRf{
    .key = "bladerf",
    .initialRx = {kInitialFrequencyHz, 4'000'000.0, 0.0, 30.0},
    .initialTx = {kInitialFrequencyHz, 4'000'000.0, 0.0, 0.0},
    .rxAntenna = "RX",
    .txAntenna = "TX",
    .biasTee = {{"biastee_rx", StreamDirection::rx}, {"biastee_tx", StreamDirection::tx}},
    .losses = {{"rx_overruns", LossField::rxOverruns},
               {"rx_lost_samples", LossField::rxLostSamples, true},
               {"rx_discarded_samples", LossField::rxDiscardedSamples, true}},
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
