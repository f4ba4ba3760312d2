// SPDX-License-Identifier: MIT
// Reading a received spectrum at chosen frequencies: single-bin DFTs, enough
// to tell whether a carrier is where (and as strong as) it should be, and far
// cheaper than a whole FFT. Offsets are from the tuned centre; a tone whose
// offset is a whole number of cycles over the samples lands in one bin, so
// its power reads exactly.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
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

} // namespace veltrano::test
