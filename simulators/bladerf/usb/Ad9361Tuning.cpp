// SPDX-License-Identifier: MIT
#include "Ad9361Tuning.h"

namespace veltrano::sim::usbbladerf {
namespace {

constexpr std::uint64_t kBbpllModulus = 2'088'960;
constexpr std::uint64_t kRfpllModulus = 8'388'593;

// Registers of the clock tree and the synthesizers.
constexpr std::uint16_t kTxFilterControl = 0x002;
constexpr std::uint16_t kRxFilterControl = 0x003;
constexpr std::uint16_t kRfpllDividers = 0x005;
constexpr std::uint16_t kBbpll = 0x00A;
constexpr std::uint16_t kBbpllFractional = 0x041; // three bytes, most significant first, then the integer
constexpr std::uint16_t kClockControl = 0x045;
constexpr std::uint16_t kTxAttenuation[2] = {0x073, 0x075}; // TX1, TX2; bit 8 in the next
constexpr std::uint16_t kRxBasebandMhz = 0x1FB;             // then 1/128 MHz steps in the next
constexpr std::uint16_t kRxSynthesizer = 0x231;             // integer low, high, fractional low, middle, high
constexpr std::uint16_t kTxOffset = 0x040;
constexpr std::uint16_t kRefDivide1 = 0x2AB;
constexpr std::uint16_t kRefDivide2 = 0x2AC;

// A reference scaler's code: x1, x1/2, x1/4, x2.
std::uint64_t scaled(std::uint64_t rate, unsigned code)
{
    constexpr std::uint64_t kMultiplier[] = {1, 1, 1, 2};
    constexpr std::uint64_t kDivider[] = {1, 2, 4, 1};
    return rate * kMultiplier[code & 3] / kDivider[code & 3];
}

// A FIR's setting (0 bypassed, n: by 2^(n - 1)) as its factor.
std::uint64_t firFactor(unsigned code)
{
    return code == 0 ? 1 : std::uint64_t{1} << (code - 1);
}

std::uint64_t halfBandChain(std::uint64_t rate, std::uint8_t control)
{
    rate /= ((control >> 4) & 3) + 1u; // the third stage (RX: DEC3, TX: THB3)
    rate /= ((control >> 3) & 1) + 1u;
    rate /= ((control >> 2) & 1) + 1u;
    return rate / firFactor(control & 3);
}

std::uint64_t synthesizerHz(std::uint64_t reference, const std::uint8_t words[5], unsigned vcoDivider)
{
    const std::uint64_t integer = std::uint64_t{words[1] & 7u} << 8 | words[0];
    const std::uint64_t fractional = std::uint64_t{words[4] & 0x7Fu} << 16 | std::uint64_t{words[3]} << 8 | words[2];
    const std::uint64_t vco = reference * fractional / kRfpllModulus + reference * integer;
    // The host keeps synthesizer rates halved, to fit 32 bits: the lowest bit goes.
    return ((vco >> (vcoDivider + 1)) >> 1) << 1;
}

std::uint64_t synthesizerReference(const Ad9361::Registers& r, bool tx)
{
    const unsigned code = tx ? (r[kRefDivide2] >> 2) & 3 : (r[kRefDivide1] & 1u) << 1 | r[kRefDivide2] >> 7;
    return scaled(kAd9361ReferenceHz, code);
}

// The full gain table's dB for an index, by the LO's band.
std::int64_t rxGainDb(unsigned index, std::uint64_t frequencyHz)
{
    struct Band {
        std::uint64_t upToHz;
        int startDb;
        unsigned indexOffset;
    };
    constexpr Band kBands[] = {{1'300'000'000, 1, 0}, {4'000'000'000, -4, 1}, {~std::uint64_t{0}, -10, 4}};
    for (const Band& band : kBands) {
        if (frequencyHz <= band.upToHz) {
            return index > band.indexOffset ? band.startDb + static_cast<int>(index - band.indexOffset) : band.startDb;
        }
    }
    return 0;
}

} // namespace

Ad9361Tuning decodeTuning(const Ad9361::Registers& r)
{
    const std::uint64_t bbReference = scaled(kAd9361ReferenceHz, r[kClockControl] & 3u);
    const std::uint64_t fractional = std::uint64_t{r[kBbpllFractional]} << 16 |
                                     std::uint64_t{r[kBbpllFractional + 1]} << 8 | r[kBbpllFractional + 2];
    const std::uint64_t bbpll =
        static_cast<std::uint32_t>(bbReference * fractional / kBbpllModulus + bbReference * r[kBbpllFractional + 3]);
    const std::uint64_t adc = bbpll >> (r[kBbpll] & 7u);
    const std::uint64_t dac = adc / (((r[kBbpll] >> 3) & 1u) + 1u);

    Ad9361Tuning tuning;
    tuning.rx.sampleRateHz = halfBandChain(adc, r[kRxFilterControl]);
    tuning.tx.sampleRateHz = halfBandChain(dac, r[kTxFilterControl]);
    tuning.rx.frequencyHz = synthesizerHz(synthesizerReference(r, false), &r[kRxSynthesizer], r[kRfpllDividers] & 0xFu);
    tuning.tx.frequencyHz =
        synthesizerHz(synthesizerReference(r, true), &r[kRxSynthesizer + kTxOffset], r[kRfpllDividers] >> 4);
    // The baseband filter is set to half the RF bandwidth.
    tuning.rx.bandwidthHz = 2 * (std::uint64_t{r[kRxBasebandMhz]} * 1'000'000 +
                                 std::uint64_t{r[kRxBasebandMhz + 1] & 0x7Fu} * 1'000'000 / 128);
    tuning.rx.gainControl = Ad9361::gainControl(r, 0);
    tuning.rx.gain = channelGain(r, false, 0, tuning.rx.frequencyHz);
    tuning.tx.gain = channelGain(r, true, 0, tuning.rx.frequencyHz);
    return tuning;
}

std::int64_t channelGain(const Ad9361::Registers& r, bool tx, unsigned channel, std::uint64_t rxFrequencyHz)
{
    if (!tx) {
        return rxGainDb(Ad9361::rxGainIndex(r, channel), rxFrequencyHz);
    }
    const std::uint16_t at = kTxAttenuation[channel & 1];
    const unsigned attenuation = (r[at + 1] & 1u) << 8 | r[at];
    return -static_cast<std::int64_t>(attenuation) * 250; // quarter-dB steps
}

std::uint64_t fastLockFrequencyHz(const Ad9361::Registers& registers, const std::array<std::uint8_t, 16>& profile,
                                  bool tx)
{
    // Words 0 to 4 hold the synthesizer's bytes in register order; the low
    // half of word 12 the VCO divider.
    return synthesizerHz(synthesizerReference(registers, tx), profile.data(), profile[12] & 0xFu);
}

std::string describe(const Ad9361Channel& channel)
{
    std::string text =
        "frequency=" + std::to_string(channel.frequencyHz) + " samplerate=" + std::to_string(channel.sampleRateHz);
    if (channel.bandwidthHz != 0) {
        text += " bandwidth=" + std::to_string(channel.bandwidthHz);
    }
    text += " gain=" + std::to_string(channel.gain);
    constexpr const char* kAgcNames[] = {"", " agc=fast", " agc=slow", " agc=hybrid"};
    return text + kAgcNames[static_cast<unsigned>(channel.gainControl)];
}

} // namespace veltrano::sim::usbbladerf
