// SPDX-License-Identifier: MIT
#include "hackrf/model/HackRfBoardModel.h"

#include <cstring>
#include <iterator>

namespace veltrano::sim::hackrf {
namespace {

// The transceiver's baseband filters, in hertz, narrowest first.
constexpr std::uint32_t kFilterBandwidths[] = {1750000,  2500000,  3500000,  5000000,  5500000,  6000000,
                                               7000000,  8000000,  9000000,  10000000, 12000000, 14000000,
                                               15000000, 20000000, 24000000, 28000000};

struct Stage {
    std::uint32_t maximumDb;
    std::uint32_t stepDb;
};

Stage stageOf(GainStage stage)
{
    switch (stage) {
    case GainStage::lna:
        return {40, 8};
    case GainStage::vga:
        return {62, 2};
    default:
        return {47, 1};
    }
}

} // namespace

std::optional<std::uint32_t> libraryGainRequest(GainStage stage, std::uint32_t gainDb)
{
    const Stage limits = stageOf(stage);
    if (gainDb > limits.maximumDb) {
        return std::nullopt;
    }
    return gainDb / limits.stepDb * limits.stepDb;
}

// The divider search works on the fraction's mantissa bits that lie below
// the rate's integer part and above its last four bits of precision: the
// first multiple whose bits there are all clear or all set is (nearly) whole.
FractionalRate libraryRateRequest(double rateHz)
{
    constexpr int kMaximumDivider = 32;
    // Rates the search has no answer for (the library's arithmetic is
    // undefined there) go out as they are, truncated.
    if (!(rateHz >= 1.0 && rateHz < 4e9)) {
        return {rateHz >= 4e9 ? UINT32_MAX : 0u, 1};
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, &rateHz, sizeof bits);
    const int exponent = static_cast<int>(bits >> 52) - 1023;
    std::uint64_t mask = (std::uint64_t{1} << 52) - 1;
    const double fraction = 1.0 + rateHz - static_cast<int>(rateHz);
    std::memcpy(&bits, &fraction, sizeof bits);
    bits &= mask;
    const int low = exponent + 4;
    mask &= low <= 0 ? ~std::uint64_t{0} : low >= 64 ? 0 : ~((std::uint64_t{1} << low) - 1);
    std::uint64_t sum = 0;
    int divider = 1;
    for (; divider < kMaximumDivider; ++divider) {
        sum += bits;
        if ((sum & mask) == 0 || (~sum & mask) == 0) {
            break;
        }
    }
    if (divider == kMaximumDivider) {
        divider = 1;
    }
    return {static_cast<std::uint32_t>(rateHz * divider + 0.5), static_cast<std::uint32_t>(divider)};
}

std::uint32_t libraryBasebandFilter(std::uint32_t bandwidthHz)
{
    std::size_t index = 0;
    while (index < std::size(kFilterBandwidths) && kFilterBandwidths[index] < bandwidthHz) {
        ++index;
    }
    if (index == std::size(kFilterBandwidths)) {
        return 0;
    }
    if (index > 0 && kFilterBandwidths[index] > bandwidthHz) {
        --index;
    }
    return kFilterBandwidths[index];
}

bool librarySendsSweep(int ranges, std::uint32_t bytesPerStep, std::uint32_t stepWidthHz, int style)
{
    constexpr int kMostRanges = 10;
    return ranges >= 1 && ranges <= kMostRanges && bytesPerStep >= kSweepBlockBytes &&
           bytesPerStep % kSweepBlockBytes == 0 && stepWidthHz >= 1 && style >= 0 && style <= 1;
}

bool RadioState::setGain(GainStage stage, std::uint32_t gainDb)
{
    const Stage limits = stageOf(stage);
    if (gainDb > limits.maximumDb || gainDb % limits.stepDb != 0) {
        return false;
    }
    (stage == GainStage::lna ? lnaGainDb : stage == GainStage::vga ? vgaGainDb : txVgaGainDb).store(gainDb);
    return true;
}

bool RadioState::setSampleRate(FractionalRate rate)
{
    if (rate.divider == 0) {
        return false;
    }
    sampleRateHz.store(static_cast<double>(rate.frequencyHz) / rate.divider);
    return true;
}

Tuning RadioState::receiveTuning() const
{
    return Tuning{static_cast<double>(frequencyHz.load()), sampleRateHz.load(),
                  static_cast<double>(lnaGainDb.load()) + static_cast<double>(vgaGainDb.load()) +
                      (amplifierOn.load() ? kAmplifierGainDb : 0.0)};
}

unsigned char receivePatternByte(std::uint64_t position)
{
    return static_cast<unsigned char>((position / 4) >> (8 * (position % 4)));
}

void fillReceivePattern(unsigned char* bytes, std::size_t count, std::uint64_t position)
{
    // Byte by byte up to a word boundary, then word by word so the loop
    // vectorises (benchmarks pump through it), then the tail.
    std::size_t at = 0;
    for (; at < count && (position + at) % 4 != 0; ++at) {
        bytes[at] = receivePatternByte(position + at);
    }
    const auto first = static_cast<std::uint32_t>((position + at) / 4);
    const std::size_t words = (count - at) / 4;
    unsigned char* wordBytes = bytes + at;
    for (std::size_t index = 0; index < words; ++index) {
        const std::uint32_t word = first + static_cast<std::uint32_t>(index);
        const unsigned char little[4] = {static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
                                         static_cast<unsigned char>(word >> 16),
                                         static_cast<unsigned char>(word >> 24)};
        std::memcpy(wordBytes + 4 * index, little, 4);
    }
    for (at += 4 * words; at < count; ++at) {
        bytes[at] = receivePatternByte(position + at);
    }
}

std::vector<std::uint64_t> sweepSteps(const std::uint16_t* rangesMHz, std::size_t ranges, std::uint32_t stepWidthHz,
                                      bool interleaved)
{
    std::vector<std::uint64_t> steps;
    for (std::size_t range = 0; range < ranges && stepWidthHz > 0; ++range) {
        const std::uint64_t startHz = std::uint64_t{rangesMHz[2 * range]} * 1'000'000;
        const std::uint64_t endHz = std::uint64_t{rangesMHz[2 * range + 1]} * 1'000'000;
        for (std::uint64_t stepHz = startHz; stepHz < endHz; stepHz += stepWidthHz) {
            steps.push_back(stepHz);
            if (interleaved) {
                steps.push_back(stepHz + stepWidthHz / 4);
            }
        }
    }
    return steps;
}

void frameSweepBlock(unsigned char* block, std::uint64_t stepHz)
{
    block[0] = 0x7F;
    block[1] = 0x7F;
    for (std::size_t index = 0; index < 8; ++index) {
        block[2 + index] = static_cast<unsigned char>(stepHz >> (8 * index));
    }
}

std::vector<std::string> operaCakeJournalLines(const OperaCakeFirmware& cakes)
{
    std::vector<std::string> lines;
    for (const std::uint8_t address : cakes.boards()) {
        if (address != OperaCakeFirmware::kNoBoard) {
            lines.push_back("operacake " + std::to_string(address) + " " + cakes.describe(address));
        }
    }
    return lines;
}

} // namespace veltrano::sim::hackrf
