// SPDX-License-Identifier: MIT
// What names and constructs each board family in the SoapySDR module: its
// key, the settings a freshly opened board starts from, and the names its
// users know for its antennas, bias tees and loss counters. Everything a
// board can do or take is asked from ISdrDevice.
#pragma once

#include "device/ISdrDevice.h"

#include <cstddef>
#include <memory>
#include <string>

namespace veltrano::soapy {

enum class BoardFamily { hackRf, bladeRf };

// A setting that switches the power a direction feeds to its antenna port,
// under the name the family's users know from its other SoapySDR module.
struct BiasTeeSetting {
    const char* key;
    StreamDirection direction;
};

// The loss counts a read-only setting can show: the fields of
// ISdrDevice::streamLosses, and the module's own receive counts.
enum class LossField {
    rxOverruns,
    rxBoardShortfalls,
    rxLostSamples,
    rxDroppedBytes,
    rxSkippedBytes,
    rxDiscardedSamples, // the board's and the samples the module dropped after a retune
    sweepDroppedBlocks,
    rxPushToTalkGaps, // receive paused for a transmit burst
    txUnderrunBytes,
    txBoardShortfalls,
};

struct LossSetting {
    const char* key = nullptr; // null after the family's last
    LossField field = LossField::rxOverruns;
    // Shown, not reported as an overflow: the size of the losses another
    // counter reports, or samples a retune discards.
    bool sizeOnly = false;
};

struct FamilyTraits {
    const char* key;        // "hackrf" or "bladerf", the value of the find key "family"
    StreamConfig initialRx; // what a new board is configured with until the client says otherwise
    StreamConfig initialTx;
    const char* rxAntenna; // the one antenna of each direction, as the family's users name it
    const char* txAntenna;
    BiasTeeSetting biasTee[2]; // null keys where the family has fewer
    LossSetting losses[10];    // in the order the settings list them
};

const FamilyTraits& traitsOf(BoardFamily family);

// The family whose "family" key is this text; false when none is.
bool familyFromKey(const std::string& key, BoardFamily& family);

// Opens the board of this family with this serial ("" for the first board).
// Throws std::runtime_error as the device constructors do.
std::unique_ptr<ISdrDevice> openBoard(BoardFamily family, const std::string& serial);

} // namespace veltrano::soapy
