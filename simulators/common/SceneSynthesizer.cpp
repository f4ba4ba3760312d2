// SPDX-License-Identifier: MIT
#include "common/SceneSynthesizer.h"

#include "device/SampleConversion.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veltrano::sim {
namespace {

// 4096 entries: the phase is quantised to 12 bits, which puts the
// oscillators' spurs some 70 dB below their carriers, under both boards'
// converters' noise.
constexpr unsigned kTableBits = 12;
constexpr std::uint32_t kTableShift = 32 - kTableBits;

// 65536 complex Gaussian samples, read from a new pseudo-random place every
// 4096 samples of the stream.
constexpr unsigned kNoiseBits = 16;
constexpr std::uint64_t kNoiseMask = (std::uint64_t{1} << kNoiseBits) - 1;
constexpr unsigned kNoiseSegmentBits = 12;
constexpr std::uint64_t kNoiseSeed = 0x5CE11E5EEDULL;

constexpr std::size_t kChunkSamples = 4096;

std::uint64_t splitMix64(std::uint64_t value)
{
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

const std::vector<std::complex<float>>& sineTable()
{
    static const std::vector<std::complex<float>> table = [] {
        std::vector<std::complex<float>> entries(std::size_t{1} << kTableBits);
        for (std::size_t index = 0; index < entries.size(); ++index) {
            const double angle = 2.0 * std::numbers::pi * static_cast<double>(index) /
                                 static_cast<double>(entries.size());
            entries[index] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
        }
        return entries;
    }();
    return table;
}

// Unit power in total: I and Q each of variance 1/2 (Box-Muller on a fixed
// seed of our own, so every platform's table is the same).
const std::vector<std::complex<float>>& noiseTable()
{
    static const std::vector<std::complex<float>> table = [] {
        std::vector<std::complex<float>> entries(std::size_t{1} << kNoiseBits);
        std::uint64_t state = kNoiseSeed;
        const auto uniform = [&state] {
            state = splitMix64(state);
            return (static_cast<double>(state >> 11) + 0.5) * 0x1.0p-53; // (0, 1)
        };
        for (auto& entry : entries) {
            const double radius = std::sqrt(-std::log(uniform()));
            const double angle = 2.0 * std::numbers::pi * uniform();
            entry = {static_cast<float>(radius * std::cos(angle)), static_cast<float>(radius * std::sin(angle))};
        }
        return entries;
    }();
    return table;
}

// A frequency in cycles per sample as a step of the 32-bit phase accumulator.
std::uint32_t phaseStep(double cyclesPerSample)
{
    const double wrapped = cyclesPerSample - std::floor(cyclesPerSample);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(wrapped * 0x1.0p32));
}

float decibelsToAmplitude(double decibels)
{
    return static_cast<float>(std::pow(10.0, decibels / 20.0));
}

} // namespace

SceneSynthesizer::SceneSynthesizer(const Scene& scene)
    : carriers_(scene.carriers), voices_(scene.carriers.size()), noise_(scene.noiseDbfs.has_value()),
      noiseDbfs_(scene.noiseDbfs.value_or(0.0)), scratch_(kChunkSamples)
{
    for (std::size_t index = 0; index < voices_.size(); ++index) {
        voices_[index].modulation = carriers_[index].modulation;
    }
    sineTable();
    noiseTable();
}

void SceneSynthesizer::tune(const Tuning& tuning)
{
    tuning_ = tuning;
    const double rate = tuning.sampleRateHz;
    const float gain = decibelsToAmplitude(tuning.gainDb);
    for (std::size_t index = 0; index < voices_.size(); ++index) {
        const SceneCarrier& carrier = carriers_[index];
        Voice& voice = voices_[index];
        const double offset = carrier.frequencyHz - tuning.centreHz;
        voice.inBand = rate > 0.0 && std::abs(offset) < rate / 2.0;
        if (!voice.inBand) {
            continue;
        }
        voice.step = phaseStep(offset / rate);
        voice.amplitude = decibelsToAmplitude(carrier.powerDbfs) * gain;
        voice.modulationStep = phaseStep(carrier.modulationRateHz / rate);
        voice.depth = static_cast<float>(carrier.modulationAmount);
        // A deviation beyond half the rate would wrap the accumulator's step.
        const double deviation = std::min(carrier.modulationAmount / rate, 0.49);
        voice.deviationSteps = static_cast<float>(deviation * 0x1.0p32);
    }
    noiseAmplitude_ = noise_ ? decibelsToAmplitude(noiseDbfs_) * gain : 0.0F;
}

void SceneSynthesizer::render(std::complex<float>* out, std::size_t count)
{
    for (std::size_t done = 0; done < count; done += kChunkSamples) {
        renderChunk(out + done, std::min(kChunkSamples, count - done));
    }
}

void SceneSynthesizer::renderCs8(std::int8_t* out, std::size_t count)
{
    for (std::size_t done = 0; done < count; done += kChunkSamples) {
        const std::size_t chunk = std::min(kChunkSamples, count - done);
        renderChunk(scratch_.data(), chunk);
        detail::convertCf32ToCs8(scratch_.data(), out + 2 * done, chunk);
    }
}

void SceneSynthesizer::renderSc16(std::int16_t* out, std::size_t count)
{
    for (std::size_t done = 0; done < count; done += kChunkSamples) {
        const std::size_t chunk = std::min(kChunkSamples, count - done);
        renderChunk(scratch_.data(), chunk);
        detail::convertCf32ToSc16(scratch_.data(), out + 2 * done, chunk);
    }
}

void SceneSynthesizer::skip(std::uint64_t count)
{
    // Accumulators wrap modulo 2^32, so step * count lands where count steps
    // would (an FM carrier's deviation is left out of its phase here).
    const auto steps = static_cast<std::uint32_t>(count);
    for (Voice& voice : voices_) {
        voice.phase += voice.step * steps;
        voice.modulationPhase += voice.modulationStep * steps;
    }
    position_ += count;
}

void SceneSynthesizer::renderNoise(std::complex<float>* out, std::size_t count) const
{
    const std::complex<float>* table = noiseTable().data();
    const float amplitude = noiseAmplitude_;
    std::size_t done = 0;
    while (done < count) {
        const std::uint64_t position = position_ + done;
        const std::uint64_t segment = position >> kNoiseSegmentBits;
        const std::uint64_t segmentEnd = (segment + 1) << kNoiseSegmentBits;
        const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(segmentEnd - position, count - done));
        // Where this segment reads the table; a run never wraps past its end.
        constexpr std::uint64_t kSegmentSamples = std::uint64_t{1} << kNoiseSegmentBits;
        const std::uint64_t start = splitMix64(segment ^ kNoiseSeed) % (kNoiseMask + 2 - kSegmentSamples) +
                                    (position & (kSegmentSamples - 1));
        const std::complex<float>* source = table + start;
        for (std::size_t index = 0; index < run; ++index) {
            out[done + index] = amplitude * source[index];
        }
        done += run;
    }
}

void SceneSynthesizer::renderChunk(std::complex<float>* out, std::size_t count)
{
    if (noise_) {
        renderNoise(out, count);
    } else {
        std::fill(out, out + count, std::complex<float>());
    }
    const std::complex<float>* sine = sineTable().data();
    for (Voice& voice : voices_) {
        if (!voice.inBand) {
            continue;
        }
        std::uint32_t phase = voice.phase;
        std::uint32_t modulationPhase = voice.modulationPhase;
        const std::uint32_t step = voice.step;
        const std::uint32_t modulationStep = voice.modulationStep;
        const float amplitude = voice.amplitude;
        switch (voice.modulation) {
        case Modulation::none:
            for (std::size_t index = 0; index < count; ++index) {
                out[index] += amplitude * sine[phase >> kTableShift];
                phase += step;
            }
            break;
        case Modulation::am:
            for (std::size_t index = 0; index < count; ++index) {
                const float envelope = amplitude * (1.0F + voice.depth * sine[modulationPhase >> kTableShift].real());
                out[index] += envelope * sine[phase >> kTableShift];
                phase += step;
                modulationPhase += modulationStep;
            }
            break;
        case Modulation::fm:
            for (std::size_t index = 0; index < count; ++index) {
                out[index] += amplitude * sine[phase >> kTableShift];
                const auto deviation = static_cast<std::int32_t>(voice.deviationSteps *
                                                                 sine[modulationPhase >> kTableShift].real());
                phase += step + static_cast<std::uint32_t>(deviation);
                modulationPhase += modulationStep;
            }
            break;
        }
        voice.phase = phase;
        voice.modulationPhase = modulationPhase;
    }
    position_ += count;
}

} // namespace veltrano::sim
