// SPDX-License-Identifier: MIT
#pragma once

// Turns a Scene into the samples a board tuned to some centre frequency would
// receive: each carrier within half the sample rate of the centre appears at
// its offset from the centre, scaled by the receiver's gain; carriers further
// out are not there at all (the board's filters and the decimation keep them
// out; nothing aliases into the band); noise covers the whole band.
//
// It runs on a simulator's streaming thread at up to a board's highest rate,
// so it works from tables: each carrier is a 32-bit phase accumulator reading
// a sine table, and the noise is a seeded table of Gaussian samples read from
// a pseudo-random place every few thousand samples (so it does not repeat
// within any useful length, yet a run is reproducible: the noise depends only
// on the sample's position in the stream). The boards' integer formats come
// from the device layer's own conversion kernels, which clip at full scale
// like the boards' converters. Nothing allocates after construction.

#include "common/SimScene.h"

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrano::sim {

// Where the receiver listens and how loud it makes things.
struct Tuning {
    double centreHz = 0.0;
    double sampleRateHz = 0.0;
    double gainDb = 0.0;

    bool operator==(const Tuning&) const = default;
};

class SceneSynthesizer {
public:
    explicit SceneSynthesizer(const Scene& scene);

    // Takes effect from the next sample; carriers keep their phases.
    void tune(const Tuning& tuning);
    const Tuning& tuning() const { return tuning_; }

    // The next count samples of the stream, as complex floats, interleaved
    // signed 8-bit I/Q (full scale 127) or SC16 Q11 I/Q (full scale 2048).
    void render(std::complex<float>* out, std::size_t count);
    void renderCs8(std::int8_t* out, std::size_t count);
    void renderSc16(std::int16_t* out, std::size_t count);
    // Moves the stream on by count samples without producing them.
    void skip(std::uint64_t count);

private:
    struct Voice {
        bool inBand = false;
        Modulation modulation = Modulation::none;
        std::uint32_t phase = 0;
        std::uint32_t step = 0;
        std::uint32_t modulationPhase = 0;
        std::uint32_t modulationStep = 0;
        float amplitude = 0.0F;
        float depth = 0.0F;          // AM
        float deviationSteps = 0.0F; // FM: phase steps of the peak deviation
    };

    void renderChunk(std::complex<float>* out, std::size_t count);
    void renderNoise(std::complex<float>* out, std::size_t count) const;

    std::vector<SceneCarrier> carriers_;
    std::vector<Voice> voices_; // one per carrier, in the same order
    bool noise_ = false;
    double noiseDbfs_ = 0.0;
    float noiseAmplitude_ = 0.0F;
    std::uint64_t position_ = 0; // samples produced or skipped so far
    Tuning tuning_;
    std::vector<std::complex<float>> scratch_;
};

} // namespace veltrano::sim
