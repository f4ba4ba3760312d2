// SPDX-License-Identifier: MIT
// What the SoapySDR module knows about each board family beyond what
// ISdrDevice answers: the limits the backends enforce but do not report, and
// the settings a freshly opened board starts from.
#pragma once

#include "device/ISdrDevice.h"

#include <cstddef>
#include <memory>
#include <string>

namespace veltrano::soapy {

enum class BoardFamily { hackRf, bladeRf };

struct GainRangeDb {
    double minimum = 0.0;
    double maximum = 0.0;
    double step = 0.0;
};

// A setting that switches the power a direction feeds to its antenna port,
// under the name the family's users know from its other SoapySDR module.
struct BiasTeeSetting {
    const char* key;
    StreamDirection direction;
};

struct FamilyTraits {
    const char* key;             // "hackrf" or "bladerf", the value of the find key "family"
    double minimumSampleRateHz;  // lowest rate the backend accepts (the highest comes from the device)
    GainRangeDb rxGain;          // overall receive gain
    GainRangeDb txGain;          // overall transmit gain
    double minimumTxBandwidthHz; // transmit filter range; 0 when the family does not tell
    double maximumTxBandwidthHz;
    std::size_t readGranularity; // the backend reads whole multiples of this many samples
    std::size_t streamMtu;       // samples per stream call without extra allocation in the backend
    bool drainEndsTxStream;      // a drained transmit stream must be stopped and started before it takes more
    StreamConfig initialRx;      // what a new board is configured with until the client says otherwise
    StreamConfig initialTx;
    const char* rxAntenna; // the one antenna of each direction, as the family's users name it
    const char* txAntenna;
    BiasTeeSetting biasTee[2]; // null keys where the family has fewer
};

const FamilyTraits& traitsOf(BoardFamily family);

// The family whose "family" key is this text; false when none is.
bool familyFromKey(const std::string& key, BoardFamily& family);

// Opens the board of this family with this serial ("" for the first board).
// Throws std::runtime_error as the device constructors do.
std::unique_ptr<ISdrDevice> openBoard(BoardFamily family, const std::string& serial);

} // namespace veltrano::soapy
