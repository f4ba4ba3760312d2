// SPDX-License-Identifier: MIT
#pragma once
// Whether the bladeRF 2.0's AD9361 reports its synthesizers locked. The
// library waits for lock after a tune and, when none comes, logs the time-out
// and reports success; the samples it then delivers are not of the frequency
// asked for. The chip's lock-detect bits say so. Other boards (not asked:
// the library logs an error for the question), and libraries without the
// register read, cannot tell: they count as locked.
#include "device/bladerf/BladeRfApi.h"

#include <cstdint>

namespace veltrano::detail {

enum class BladeRfSynthesizer : std::uint16_t {
    baseband = 0x05E, // the BBPLL, whence every sample clock: lock in bit 7
    rx = 0x247,       // RX RF synthesizer: VCO lock in bit 1
    tx = 0x287,       // TX RF synthesizer: VCO lock in bit 1
};

inline bool bladeRfSynthesizerLocked(const BladeRfApi& api, bladerf* device, BladeRfSynthesizer synthesizer,
                                     bool ad9361Fitted)
{
    if (!ad9361Fitted || api.getRficRegister == nullptr) {
        return true;
    }
    std::uint8_t value = 0;
    if (api.getRficRegister(device, static_cast<std::uint16_t>(synthesizer), &value) != 0) {
        return true; // not a board with an AD9361
    }
    const std::uint8_t lockBit = synthesizer == BladeRfSynthesizer::baseband ? 0x80 : 0x02;
    return (value & lockBit) != 0;
}

} // namespace veltrano::detail
