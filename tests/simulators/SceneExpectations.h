// SPDX-License-Identifier: MIT
// One radio scene for the simulated boards and what a receiver tuned to a
// given centre must see of it: every carrier within half the sample rate at
// its offset and its power (plus the gain), every other one absent, also at
// the place it would alias to. The spectrum is read with single-bin DFTs at
// offsets from the centre: a tone a whole number of cycles over the samples
// lands in one bin, so its power reads exactly.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

namespace veltrano::test {

// |X(f)|^2 / N^2 of the samples at offsetHz, in dB relative to full scale: a
// tone of amplitude A reads 20 log10 A.
inline double binPowerDbfs(const std::vector<std::complex<float>>& samples, double offsetHz, double sampleRateHz)
{
    const double angle = -2.0 * std::numbers::pi * offsetHz / sampleRateHz;
    std::complex<double> sum;
    for (std::size_t index = 0; index < samples.size(); ++index) {
        const double phase = angle * static_cast<double>(index);
        sum += std::complex<double>(samples[index]) * std::complex<double>(std::cos(phase), std::sin(phase));
    }
    const double power = std::norm(sum) / (static_cast<double>(samples.size()) * static_cast<double>(samples.size()));
    return 10.0 * std::log10(power + 1e-30);
}

// The power of every bin from lowHz to highHz (offsets, inclusive), summed:
// a modulated carrier's sidebands all together.
inline double bandPowerDbfs(const std::vector<std::complex<float>>& samples, double lowHz, double highHz,
                            double sampleRateHz)
{
    const double binHz = sampleRateHz / static_cast<double>(samples.size());
    double power = 0.0;
    for (double offset = std::ceil(lowHz / binHz) * binHz; offset <= highHz; offset += binHz) {
        power += std::pow(10.0, binPowerDbfs(samples, offset, sampleRateHz) / 10.0);
    }
    return 10.0 * std::log10(power + 1e-30);
}

struct ExpectedCarrier {
    double frequencyHz;
    double powerDbfs;       // at 0 dB of gain
    double sidebandsHz;     // 0: a carrier read in its own bin; else the half width of its modulated band
    const char* modulation; // as the simulators' scripts name it, after the power
};

inline constexpr double kSceneRateHz = 2e6;
inline constexpr std::size_t kSceneSamples = 4000; // bins of 500 Hz: every offset below is a whole bin
inline constexpr double kSceneGainDb = 20.0;

// Centres at which the scene is read: each hears a different set of carriers.
inline constexpr double kFirstCentreHz = 100e6;
inline constexpr double kSecondCentreHz = 99.2e6;

inline const std::vector<ExpectedCarrier>& sceneCarriers()
{
    static const std::vector<ExpectedCarrier> carriers{
        {100.25e6, -40.0, 0.0, ""},              // first centre only
        {99.5e6, -45.0, 0.0, " am 1000 0.5"},    // both; AM: the carrier's own bin keeps the carrier's power
        {100.6e6, -42.0, 15e3, " fm 1000 5000"}, // first only; FM: its power spread over its sidebands
        {101.4e6, -30.0, 0.0, ""},               // never: 1.4 MHz above the first centre
        {98.45e6, -35.0, 0.0, ""},               // second only
    };
    return carriers;
}

// The simulators' script lines for the carriers, over a noise floor.
inline std::string sceneScript(const std::vector<ExpectedCarrier>& carriers = sceneCarriers())
{
    std::string script;
    for (const ExpectedCarrier& carrier : carriers) {
        script += "scene-carrier " + std::to_string(static_cast<long long>(carrier.frequencyHz)) + " " +
                  std::to_string(static_cast<int>(carrier.powerDbfs)) + carrier.modulation + "\n";
    }
    return script + "scene-noise -75\n";
}

// Checks what samples received at the centre show of the scene.
inline void expectSceneAt(const std::vector<std::complex<float>>& samples, double centreHz)
{
    ASSERT_EQ(samples.size(), kSceneSamples);
    for (const ExpectedCarrier& carrier : sceneCarriers()) {
        const double offset = carrier.frequencyHz - centreHz;
        SCOPED_TRACE(std::to_string(carrier.frequencyHz) + " Hz heard at " + std::to_string(centreHz) + " Hz");
        if (std::abs(offset) < kSceneRateHz / 2) {
            const double power = carrier.sidebandsHz == 0.0 ? binPowerDbfs(samples, offset, kSceneRateHz)
                                                            : bandPowerDbfs(samples, offset - carrier.sidebandsHz,
                                                                            offset + carrier.sidebandsHz, kSceneRateHz);
            EXPECT_NEAR(power, carrier.powerDbfs + kSceneGainDb, 1.0);
        } else {
            const double alias = offset - std::round(offset / kSceneRateHz) * kSceneRateHz;
            EXPECT_LT(binPowerDbfs(samples, alias, kSceneRateHz), -65.0);
        }
    }
}

} // namespace veltrano::test
