// SPDX-License-Identifier: MIT
#pragma once

// The two bladeRF kinds as one description each: what the host library
// reports of them (name, ranges, gain chains, switches) and what the board
// itself carries (its USB product string, its calibration records). The
// simulated library's boards and the USB-level boards both read it.

#include <libbladeRF.h>

#include <string>
#include <string_view>
#include <vector>

namespace veltrano::sim::bladerf {

// The x40 (bladeRF1: LMS6002D, tuned through the FPGA's retune queues) or the
// 2.0 micro (AD9361, driven through the NIOS II's RFIC commands or by the host).
enum class BladeRfKind { x40, micro };

// One named gain stage and its range (in the range's scaled units, dB = value × scale).
struct GainStageModel {
    std::string name;
    bladerf_range range{};
};

// A direction's gain chain: its stages in the order bladerf_set_gain fills
// them, the overall range bladerf_get_gain_range reports, and the overall
// gain's offset from the stages' sum (the library's bladeRF1 has one).
struct GainChain {
    std::vector<GainStageModel> stages;
    bladerf_range overall{};
    int offsetDb = 0;
};

struct BladeRfDescription {
    std::string_view boardName; // bladerf_get_board_name
    std::string_view product;   // the USB product string
    bladerf_fpga_size fpgaSize;
    std::string_view fpgaSizeRecord; // the calibration page's "B" record
    std::string_view vctcxoTrim;     // its "DAC" record
    bladerf_range sampleRates;       // both directions
    bladerf_range frequencies;       // both directions
    bladerf_range bandwidths;
    GainChain rxGain;
    GainChain txGain;
    bool biasTee; // a bias-tee switch per direction
    bool ad9361;  // an AD9361 with its sensors (the x40's LMS6002D has none)
};

const BladeRfDescription& describe(BladeRfKind kind);

} // namespace veltrano::sim::bladerf
