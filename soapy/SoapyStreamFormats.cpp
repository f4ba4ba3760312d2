// SPDX-License-Identifier: MIT
// The stream formats: CF32 (the device layer's float samples), CF64, CS8 and
// CS16. The board's own format (CS8 on HackRF, CS16 holding SC16 Q11 on
// bladeRF) passes through untouched in both directions; the other integer
// format is mapped exactly in integers, so CS8 always has full scale 128 and
// CS16 full scale 2048 (one CS8 step is 16 CS16 steps).
#include "soapy/StreamState.h"

#include <SoapySDR/Formats.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace veltrano::soapy {
namespace {

// CS8 (full scale 128) to CS16 (full scale 2048): times 16, exact.
void widen(const std::int8_t* in, std::int16_t* out, std::size_t count)
{
    for (std::size_t index = 0; index < 2 * count; ++index) {
        out[index] = static_cast<std::int16_t>(in[index] * 16);
    }
}

// CS16 to CS8: divided by 16, halves away from zero, limited to -128..127,
// so that widening and narrowing again gives back every CS8 value. Adding 8,
// less one below zero, before the arithmetic shift rounds halves away from
// zero; the loop has no branch and vectorises.
void narrow(const std::int16_t* in, std::int8_t* out, std::size_t count)
{
    for (std::size_t index = 0; index < 2 * count; ++index) {
        const int value = in[index];
        const int rounded = (value + 8 + (value >> 31)) >> 4;
        out[index] = static_cast<std::int8_t>(std::min(std::max(rounded, -128), 127));
    }
}

// The board's values as doubles: each value over its full scale, exact.
template <typename Value>
void toDoubles(const Value* in, double* out, std::size_t count, double fullScale)
{
    const double scale = 1.0 / fullScale;
    for (std::size_t index = 0; index < 2 * count; ++index) {
        out[index] = in[index] * scale;
    }
}

} // namespace

bool formatFromName(const std::string& name, SampleFormat& format)
{
    if (name == SOAPY_SDR_CF32) {
        format = SampleFormat::cf32;
    } else if (name == SOAPY_SDR_CF64) {
        format = SampleFormat::cf64;
    } else if (name == SOAPY_SDR_CS16) {
        format = SampleFormat::cs16;
    } else if (name == SOAPY_SDR_CS8) {
        format = SampleFormat::cs8;
    } else {
        return false;
    }
    return true;
}

SampleFormat formatOf(NativeSampleFormat native)
{
    switch (native) {
    case NativeSampleFormat::cs8:
        return SampleFormat::cs8;
    case NativeSampleFormat::sc16Q11:
        return SampleFormat::cs16;
    case NativeSampleFormat::none:
        break;
    }
    return SampleFormat::cf32;
}

std::size_t valuesPerSample(SampleFormat format)
{
    return format == SampleFormat::cs8 ? 2 * sizeof(std::int8_t) : 2 * sizeof(std::int16_t);
}

void convertValues(SampleFormat from, SampleFormat to, const void* in, void* out, std::size_t count)
{
    if (to == SampleFormat::cf64) {
        if (from == SampleFormat::cs8) {
            toDoubles(static_cast<const std::int8_t*>(in), static_cast<double*>(out), count, 128.0);
        } else {
            toDoubles(static_cast<const std::int16_t*>(in), static_cast<double*>(out), count, 2048.0);
        }
    } else if (from == to) {
        std::memcpy(out, in, count * valuesPerSample(to));
    } else if (to == SampleFormat::cs16) {
        widen(static_cast<const std::int8_t*>(in), static_cast<std::int16_t*>(out), count);
    } else {
        narrow(static_cast<const std::int16_t*>(in), static_cast<std::int8_t*>(out), count);
    }
}

void sweepToClient(SampleFormat format, const std::complex<float>* samples, void* out, std::size_t count)
{
    const float* in = reinterpret_cast<const float*>(samples);
    switch (format) {
    case SampleFormat::cf32:
        std::memcpy(out, samples, count * sizeof(std::complex<float>));
        break;
    case SampleFormat::cf64:
        std::copy(in, in + 2 * count, static_cast<double*>(out));
        break;
    case SampleFormat::cs16:
        for (std::size_t index = 0; index < 2 * count; ++index) {
            static_cast<std::int16_t*>(out)[index] =
                static_cast<std::int16_t>(std::clamp(std::lround(in[index] * 2048.0F), -32768L, 32767L));
        }
        break;
    case SampleFormat::cs8:
        for (std::size_t index = 0; index < 2 * count; ++index) {
            static_cast<std::int8_t*>(out)[index] =
                static_cast<std::int8_t>(std::clamp(std::lround(in[index] * 128.0F), -128L, 127L));
        }
        break;
    }
}

std::vector<std::string> SoapyDevice::getStreamFormats(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    return {SOAPY_SDR_CF32, SOAPY_SDR_CF64, SOAPY_SDR_CS16, SOAPY_SDR_CS8};
}

std::string SoapyDevice::getNativeStreamFormat(int direction, size_t channel, double& fullScale) const
{
    checkChannel(direction, channel);
    switch (board_->nativeSampleFormat()) {
    case NativeSampleFormat::cs8:
        fullScale = 128.0;
        return SOAPY_SDR_CS8;
    case NativeSampleFormat::sc16Q11:
        fullScale = 2048.0;
        return SOAPY_SDR_CS16;
    case NativeSampleFormat::none:
        break;
    }
    fullScale = 1.0;
    return SOAPY_SDR_CF32;
}

} // namespace veltrano::soapy
