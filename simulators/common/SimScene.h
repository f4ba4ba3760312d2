// SPDX-License-Identifier: MIT
#pragma once

// The radio scene a simulated board hears: carriers at absolute frequencies,
// each optionally modulated by a tone, and white noise over the band. Both
// simulators read it from their scripts with the same directives:
//
//   scene-carrier <frequency_hz> <power_dbfs> [am <rate_hz> <depth> | fm <rate_hz> <deviation_hz>]
//   scene-noise <power_dbfs>
//
// Powers are those of the complex baseband samples relative to full scale
// (a sample of magnitude 1) with the receiver's gain at 0 dB.

#include "common/SimScript.h"

#include <optional>
#include <vector>

namespace veltrano::sim {

enum class Modulation { none, am, fm };

struct SceneCarrier {
    double frequencyHz = 0.0;
    double powerDbfs = 0.0; // of the unmodulated carrier
    Modulation modulation = Modulation::none;
    double modulationRateHz = 0.0;
    double modulationAmount = 0.0; // AM: depth, 0 to 1; FM: peak deviation in Hz
};

struct Scene {
    std::vector<SceneCarrier> carriers;
    std::optional<double> noiseDbfs; // total over the band

    // No scene directive: the simulator keeps its counting patterns.
    bool empty() const { return carriers.empty() && !noiseDbfs; }
};

// Applies a scene directive to the scene; false when the line is none.
// Malformed arguments abort through failBadArguments.
bool applySceneDirective(Scene& scene, const ScriptLine& line);

} // namespace veltrano::sim
