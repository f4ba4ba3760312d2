// SPDX-License-Identifier: MIT
// The one abstract radio device every backend implements.
//
// A device is opened by its class's constructor (which throws std::runtime_error
// on failure) and closed by its destructor. After construction no operation
// throws for device or library failures: they answer false, 0 or an empty value,
// and a backend that keeps a failure text returns it from lastError().
// Frequencies and rates are in Hz, gains in dB, samples are complex floats.
// One client thread drives a device at a time unless a backend says otherwise.
//
// The declaration order below is the virtual-table order; keep it stable.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace veltrano {

// Identity of an open board.
struct DeviceInfo {
    std::string driver;       // "hackrf-native" or "bladerf-native"
    std::string label;        // human-readable board name
    std::string serial;       // serial the board was opened with, or the family's "-USB" placeholder
    bool supportsRx = true;   // the board can receive
    bool supportsTx = false;  // the board can transmit and the library offers the transmit calls
    bool familyFlag = false;  // set by the HackRF backend on open; informational only
};

// Parameters of a receive, transmit or sweep stream. Each backend checks the
// fields it uses against its own hardware.
struct StreamConfig {
    double frequencyHz = 0.0;  // centre frequency
    double sampleRateHz = 0.0; // complex sample rate
    double bandwidthHz = 0.0;  // analogue filter bandwidth
    double gainDb = 0.0;       // overall gain, split by the backend over its stages
};

// One contiguous tunable range, both ends inclusive.
struct FrequencyRangeHz {
    double minimumHz = 0.0;
    double maximumHz = 0.0;
};

// One block of hardware-sweep output; the caller owns and may reuse it.
struct NativeSweepBlock {
    double centerFrequencyHz = 0.0;
    double sampleRateHz = 0.0;
    std::vector<FrequencyRangeHz> validRanges; // parts of the block inside the requested range
    std::vector<std::complex<float>> samples;  // nativeSweepFftSize() samples after a successful read
    bool sweepStart = false;                   // first step of a pass over the range
};

// True when one well-formed range (minimum <= maximum) contains the whole
// interval lowHz..highHz. An empty or inverted interval, or a NaN anywhere, is
// never covered.
bool frequencyRangesCover(const std::vector<FrequencyRangeHz>& ranges, double lowHz, double highHz);

// The interleaved integer I/Q a board carries on the wire, I first.
enum class NativeSampleFormat {
    none,    // the backend streams complex floats only
    cs8,     // signed 8-bit I and Q (HackRF); full scale 128
    sc16Q11, // signed 16-bit I and Q holding 12-bit values (bladeRF); full scale 2048
};

// Bytes of one complex sample in the format; 0 for none.
constexpr std::size_t nativeSampleBytes(NativeSampleFormat format)
{
    return format == NativeSampleFormat::cs8 ? 2 : format == NativeSampleFormat::sc16Q11 ? 4 : 0;
}

class ISdrDevice {
public:
    virtual ~ISdrDevice() = default;

    // ---- Identity -------------------------------------------------------------
    virtual DeviceInfo info() const = 0;
    // Text of the most recent failure; empty when the backend keeps none.
    virtual std::string lastError() const { return {}; }

    // ---- Receive configuration -------------------------------------------------
    // Applies frequency, rate and gain; false on failure.
    virtual bool configureRx(const StreamConfig& config) = 0;
    // Rate in force after the last successful receive or sweep configuration; 0 before.
    virtual double actualRxSampleRateHz() const = 0;
    virtual std::vector<FrequencyRangeHz> rxFrequencyRanges() const = 0;
    // Highest receive rate the board supports; 0 when the backend cannot tell.
    virtual double maximumRxSampleRateHz() const = 0;
    // Device time of the stream, where a backend keeps one.
    virtual std::optional<double> streamTimeSeconds() const { return std::nullopt; }

    // ---- Tuning ---------------------------------------------------------------
    // Retunes a configured receiver; false on failure.
    virtual bool setRxFrequency(double frequencyHz) = 0;
    virtual bool supportsFastRxRetune() const { return false; }
    // Precomputes tuning data for frequencies visited later; true when nothing needed doing.
    virtual bool prepareRxFrequencies(const std::vector<double>& frequenciesHz)
    {
        static_cast<void>(frequenciesHz);
        return true;
    }
    virtual std::uint64_t fastRxRetuneCount() const { return 0; }
    virtual std::uint64_t regularRxRetuneCount() const { return 0; }
    virtual std::uint64_t failedFastRxRetuneCount() const { return 0; }
    // Library result code of the latest failed retune; 0 when none.
    virtual int lastFastRxRetuneError() const { return 0; }
    virtual bool supportsRxAmplifier() const { return false; }
    virtual bool setRxAmplifier(bool enabled)
    {
        static_cast<void>(enabled);
        return false;
    }

    // ---- Receive streaming ------------------------------------------------------
    virtual bool startRx() = 0;
    // Ends receive streaming; harmless when nothing streams.
    virtual void stopRx() = 0;
    // Copies up to count received samples; returns how many were delivered.
    virtual std::size_t readSamples(std::complex<float>* samples, std::size_t count) = 0;

    // ---- Native sweep -----------------------------------------------------------
    virtual bool supportsNativeSweep() const { return false; }
    virtual bool configureNativeSweep(const StreamConfig& config, double startHz, double stopHz)
    {
        static_cast<void>(config);
        static_cast<void>(startHz);
        static_cast<void>(stopHz);
        return false;
    }
    virtual bool startNativeSweep() { return false; }
    // Fills block with the next sweep block; leaves it untouched on false.
    virtual bool readNativeSweepBlock(NativeSweepBlock& block)
    {
        static_cast<void>(block);
        return false;
    }
    virtual std::size_t nativeSweepFftSize() const { return 1024; }
    virtual bool recoverNativeSweep() { return false; }

    // ---- Transmit ---------------------------------------------------------------
    // Empty when the board cannot transmit.
    virtual std::vector<FrequencyRangeHz> txFrequencyRanges() const = 0;
    virtual bool configureTx(const StreamConfig& config) = 0;
    virtual bool startTx() = 0;
    // Waits until queued samples have left the device; false when stop was requested first.
    // A backend without a queue of its own is always drained.
    virtual bool drainTx(std::stop_token stop) { return !stop.stop_requested(); }
    // Ends transmit streaming; harmless when nothing streams.
    virtual void stopTx() = 0;
    // Queues up to count samples; returns how many were accepted.
    virtual std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) = 0;

    // ---- Native sample format ------------------------------------------------------
    // The board's own samples, untouched: the same streams, losses, retune
    // discards and timestamps as readSamples and writeSamples, without the
    // float conversion. A buffer holds count samples of
    // nativeSampleBytes(nativeSampleFormat()) bytes each (int8_t or int16_t
    // values, I first); either call may be used on a running stream in place
    // of its float counterpart.
    virtual NativeSampleFormat nativeSampleFormat() const { return NativeSampleFormat::none; }
    // Copies up to count received samples; returns how many were delivered.
    virtual std::size_t readNativeSamples(void* samples, std::size_t count)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        return 0;
    }
    // Queues up to count samples for transmission; returns how many were accepted.
    virtual std::size_t writeNativeSamples(const void* samples, std::size_t count)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        return 0;
    }
};

} // namespace veltrano
