// SPDX-License-Identifier: MIT
#pragma once

// The HackRF One both simulated levels stand for: what its radio is set to
// and which settings it takes, the bytes its receive stream carries, the
// sweep blocks it frames and the steps it sweeps. The simulated libhackrf
// and the USB-level board both drive this one model, so what a client sees
// cannot depend on the level it runs against.
//
// Where libhackrf itself rounds or refuses a setting before it reaches the
// board, the library* functions give its answer; the board's own checks are
// RadioState's. The simulated library applies both, the USB-level board only
// the board's (the real library in front of it applies its own).

#include "common/OperaCakeFirmware.h"
#include "common/SceneSynthesizer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::sim::hackrf {

// What the board reports itself as: a HackRF One, revision r6 made by its
// original maker (the maker bit 0x80 with revision 1).
inline constexpr std::uint8_t kBoardId = 2;
inline constexpr std::uint8_t kBoardRevision = 0x81;
// The RF amplifier's nominal gain, added to the LNA's and the VGA's when it is on.
inline constexpr double kAmplifierGainDb = 14.0;
inline constexpr std::size_t kSweepBlockBytes = 16384;
// The marker and the step frequency before each sweep block's samples.
inline constexpr std::size_t kSweepHeaderBytes = 10;

enum class GainStage { lna, vga, txVga };

// The rate as libhackrf sends it: a frequency and an integer divider.
struct FractionalRate {
    std::uint32_t frequencyHz = 0;
    std::uint32_t divider = 1;
};

// libhackrf's answer to a gain: the value it sends (rounded down to the
// stage's step: LNA 8 dB, VGA 2 dB, TX VGA 1 dB), none when it refuses a
// gain above the stage's top (40, 62, 47 dB) without asking the board.
std::optional<std::uint32_t> libraryGainRequest(GainStage stage, std::uint32_t gainDb);
// libhackrf's rate for a requested one: the smallest divider below 32 that
// makes rate * divider (nearly) whole, else 1.
FractionalRate libraryRateRequest(double rateHz);
// libhackrf's baseband filter for a bandwidth: the widest of the
// transceiver's filters not above it, the narrowest below the narrowest, and
// 0 above the widest (the library's table lookup runs off its end there).
std::uint32_t libraryBasebandFilter(std::uint32_t bandwidthHz);
// Whether libhackrf sends a sweep plan: 1 to 10 ranges, whole blocks of at
// least one per step, a step width and a style it knows (0 linear, 1 interleaved).
bool librarySendsSweep(int ranges, std::uint32_t bytesPerStep, std::uint32_t stepWidthHz, int style);

// What the board is set to. The client's threads set it while a transfer
// thread (or the USB engine's) reads it, so each setting is an atomic of its own.
struct RadioState {
    // The board's sample rate until a rate is set.
    std::atomic<double> sampleRateHz{10'000'000.0};
    std::atomic<std::uint64_t> frequencyHz{0};
    std::atomic<std::uint32_t> lnaGainDb{0};
    std::atomic<std::uint32_t> vgaGainDb{0};
    std::atomic<std::uint32_t> txVgaGainDb{0};
    // The baseband filter in force, 0 until the first rate or filter is set.
    std::atomic<std::uint32_t> basebandFilterHz{0};
    std::atomic<bool> amplifierOn{false};
    std::atomic<bool> antennaPowerOn{false};

    // A gain the board was asked for; false (the setting stays) when the
    // stage has no such step.
    bool setGain(GainStage stage, std::uint32_t gainDb);
    // The rate freq / divider; false for a zero divider, which the board refuses.
    bool setSampleRate(FractionalRate rate);
    // The amplifier and the antenna port's power: false for any value but
    // off (0) and on (1), which the board refuses.
    bool setAmplifier(std::uint32_t value) { return setSwitch(amplifierOn, value); }
    bool setAntennaPower(std::uint32_t value) { return setSwitch(antennaPowerOn, value); }

    // Where the receiver listens now: its centre, rate and the stages' gain
    // in decibels, dB for dB.
    Tuning receiveTuning() const;

private:
    static bool setSwitch(std::atomic<bool>& setting, std::uint32_t value)
    {
        if (value > 1) {
            return false;
        }
        setting.store(value == 1);
        return true;
    }
};

// The receive stream's pattern: byte p is byte p % 4 of the little-endian
// 32-bit number p / 4, so any four aligned bytes tell their own position.
unsigned char receivePatternByte(std::uint64_t position);
// count bytes of the pattern from position on.
void fillReceivePattern(unsigned char* bytes, std::size_t count, std::uint64_t position);

// The steps the firmware sweeps, in order: every range (pairs of MHz bounds)
// from its start in steps of the step width below its end; the interleaved
// style adds a second step a quarter width above each, which fills the gaps
// its usable quarters leave.
std::vector<std::uint64_t> sweepSteps(const std::uint16_t* rangesMHz, std::size_t ranges, std::uint32_t stepWidthHz,
                                      bool interleaved);
// A block's header: the 0x7F 0x7F marker, then the step's frequency, little-endian.
void frameSweepBlock(unsigned char* block, std::uint64_t stepHz);

// The journal's line per stacked Opera Cake with the ports it connects now,
// written after every change and every tune.
std::vector<std::string> operaCakeJournalLines(const OperaCakeFirmware& cakes);

} // namespace veltrano::sim::hackrf
