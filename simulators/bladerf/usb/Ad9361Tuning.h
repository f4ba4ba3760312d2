// SPDX-License-Identifier: MIT
#pragma once

// What an AD9361's registers put in force, worked out as the chip does from
// the words the host wrote: the sample rate from the baseband PLL, the ADC
// divider and the decimation (interpolation) chain; the LO from the RF PLL's
// integer and fractional words and its VCO divider; the receive bandwidth from
// the baseband filter's setting; the receive gain from the full gain table's
// index in force (manual or the AGC's) and the transmit attenuation. Integer arithmetic throughout, as the
// host's driver computes the same clocks, so a decoded rate equals the one
// the host library reports.

#include "Ad9361.h"

#include <cstdint>
#include <string>

namespace veltrano::sim::usbbladerf {

struct Ad9361Channel {
    std::uint64_t frequencyHz = 0;
    std::uint64_t sampleRateHz = 0;
    std::uint64_t bandwidthHz = 0; // receive only: 0 for transmit
    // Receive: the full table's gain in dB; transmit: minus the attenuation, in mdB.
    std::int64_t gain = 0;
    // Receive: manual, or which automatic gain control sets the gain.
    Ad9361::GainControl gainControl = Ad9361::GainControl::manual;

    bool operator==(const Ad9361Channel&) const = default;
};

struct Ad9361Tuning {
    Ad9361Channel rx;
    Ad9361Channel tx;
};

// The board's reference clock: the micro's 38.4 MHz VCTCXO.
inline constexpr std::uint64_t kAd9361ReferenceHz = 38'400'000;

Ad9361Tuning decodeTuning(const Ad9361::Registers& registers);
// One channel's gain (0 the first, 1 the second) as Ad9361Channel::gain has
// it: each receiver has its own gain index and each transmitter its own
// attenuation; the receive table is chosen by the receive LO's band.
std::int64_t channelGain(const Ad9361::Registers& registers, bool tx, unsigned channel, std::uint64_t rxFrequencyHz);
// The LO a fast-lock profile recalls (its words 0 to 4 and 12), from this reference.
std::uint64_t fastLockFrequencyHz(const Ad9361::Registers& registers, const std::array<std::uint8_t, 16>& profile,
                                  bool tx);
// "frequency=… samplerate=… bandwidth=… gain=…" (then " agc=fast", "slow" or
// "hybrid" under automatic gain control), for the journal.
std::string describe(const Ad9361Channel& channel);

} // namespace veltrano::sim::usbbladerf
