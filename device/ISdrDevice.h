// SPDX-License-Identifier: MIT
// The declaration order of ISdrDevice is the virtual-table order; keep it stable.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace veltrano {

/// Identity of an open board.
struct DeviceInfo {
    std::string driver;      ///< "hackrf-native" or "bladerf-native"
    std::string label;       ///< human-readable board name
    std::string serial;      ///< serial the board was opened with, or the family's "-USB" placeholder
    bool supportsRx = true;  ///< the board can receive
    bool supportsTx = false; ///< the board can transmit and the library offers the transmit calls
    bool familyFlag = false; ///< set by the HackRF backend on open; informational only
};

/// Parameters of a receive, transmit or sweep stream. Each backend checks the
/// fields it uses against its own hardware.
struct StreamConfig {
    double frequencyHz = 0.0;  ///< centre frequency
    double sampleRateHz = 0.0; ///< complex sample rate
    double bandwidthHz = 0.0;  ///< analogue filter bandwidth
    double gainDb = 0.0;       ///< overall gain, split by the backend over its stages
};

/// One contiguous tunable range, both ends inclusive.
struct FrequencyRangeHz {
    double minimumHz = 0.0; ///< lowest frequency of the range
    double maximumHz = 0.0; ///< highest frequency of the range
};

/// One block of hardware-sweep output; the caller owns and may reuse it.
struct NativeSweepBlock {
    double centerFrequencyHz = 0.0;            ///< frequency the board was tuned to for the block
    double sampleRateHz = 0.0;                 ///< sample rate of the block's samples
    std::vector<FrequencyRangeHz> validRanges; ///< parts of the block inside the requested range
    std::vector<std::complex<float>> samples;  ///< nativeSweepFftSize() samples after a successful read
    bool sweepStart = false;                   ///< first step of a pass over the range
};

/// True when one well-formed range (minimum <= maximum) contains the whole
/// interval lowHz..highHz. An empty or inverted interval, or a NaN anywhere, is
/// never covered.
bool frequencyRangesCover(const std::vector<FrequencyRangeHz>& ranges, double lowHz, double highHz);

/// The interleaved integer I/Q a board carries on the wire, I first.
enum class NativeSampleFormat {
    none,    ///< the backend streams complex floats only
    cs8,     ///< signed 8-bit I and Q (HackRF); full scale 128
    sc16Q11, ///< signed 16-bit I and Q holding 12-bit values (bladeRF); full scale 2048
};

/// Bytes of one complex sample in the format; 0 for none.
constexpr std::size_t nativeSampleBytes(NativeSampleFormat format)
{
    return format == NativeSampleFormat::cs8 ? 2 : format == NativeSampleFormat::sc16Q11 ? 4 : 0;
}

/// The chain of a board an operation addresses.
enum class StreamDirection {
    rx, ///< the receive chain
    tx, ///< the transmit chain
};

/// One named amplifier or attenuator of a chain, or the overall gain.
struct GainStage {
    std::string name;       ///< the stage's name as the board's library knows it ("LNA", "VGA", "AMP", ...)
    double minimumDb = 0.0; ///< lowest gain the stage takes
    double maximumDb = 0.0; ///< highest gain the stage takes
    double stepDb = 0.0;    ///< 0 when the stage takes any value in its range
};

/// Marks of one transmit burst write: where a burst begins, when, and where it ends.
struct TxBurstMarks {
    /// The write's first sample begins a new burst. A write without it
    /// continues the open burst, or begins one at once when none is open.
    bool startsBurst = false;
    /// With startsBurst: the hardware time, in nanoseconds, at which the
    /// burst's first sample goes on the air; nullopt sends it at once.
    std::optional<std::int64_t> startTimeNs;
    /// The write's last sample ends the burst; the board sends silence after it.
    bool endsBurst = false;
};

/// What became of a transmit burst, reported by nextTxEvent.
struct TxEvent {
    /// The kinds of outcome.
    enum class Kind {
        burstSent,  ///< every sample of the burst has left the board
        lateBurst,  ///< the burst's start time had passed: none of it was sent
        underrun,   ///< the board ran out of samples inside an open burst
        eventsLost, ///< the queue was full: samples holds how many events were dropped
    };
    Kind kind = Kind::burstSent; ///< which outcome
    /// Hardware time in nanoseconds: a sent or late burst's start time, the
    /// time an underrun began; 0 for eventsLost.
    std::int64_t timeNs = 0;
    /// The burst's samples (sent or dropped); events dropped for eventsLost.
    std::uint64_t samples = 0;
};

/// What a board and its library say about themselves. An item the board
/// does not have, or that the loaded library cannot ask, is nullopt: never a
/// zero or an empty text standing in for "unknown".
struct BoardIdentity {
    std::optional<std::string> firmwareVersion; ///< the board's firmware, as it reports it
    std::optional<std::string> fpgaVersion;     ///< the loaded FPGA image ("0.14.0")
    std::optional<std::string> fpgaSize;        ///< the FPGA part ("40 kLE", "A4")
    std::optional<bool> fpgaLoaded;             ///< whether the FPGA holds an image
    std::optional<std::string> boardRevision;   ///< the board's revision ("r6")
    std::optional<std::string> boardId;         ///< the board's model as its firmware names it
    std::optional<std::string> libraryVersion;  ///< the host library's version

    /// Item by item.
    bool operator==(const BoardIdentity&) const = default;
};

/// One sensor a board offers, board-wide or on one chain.
struct SensorDescription {
    std::string name;        ///< key the sensor is read by ("rfic_temperature", "rssi", "clock_in")
    std::string label;       ///< short human-readable name
    std::string units;       ///< units of the value ("°C", "dB"); empty for a boolean
    bool boolean = false;    ///< the value is 1 (true) or 0 (false)
    std::string description; ///< what the value means
};

/// One reading of a sensor: a value, or why there is none.
struct SensorReading {
    std::optional<double> value; ///< in the sensor's units; nullopt when it could not be read
    std::string failure;         ///< why it could not be read; empty with a value
};

/// The one abstract radio device every backend implements.
///
/// A device is opened by its class's constructor (which throws std::runtime_error
/// on failure) and closed by its destructor. After construction no operation
/// throws for device or library failures: they answer false, 0 or an empty value,
/// and a backend that keeps a failure text returns it from lastError().
/// Frequencies and rates are in Hz, gains in dB, samples are complex floats.
/// One client thread drives a device at a time unless a backend says otherwise.
class ISdrDevice {
public:
    /// Closes the board, stopping any stream first.
    virtual ~ISdrDevice() = default;

    /// @name Identity
    /// @{

    /// Who the open board is: driver, label, serial and what it can do.
    virtual DeviceInfo info() const = 0;
    /// Text of the most recent failure; empty when the backend keeps none.
    virtual std::string lastError() const { return {}; }
    /// @}

    /// @name Receive configuration
    /// @{

    /// Applies frequency, rate and gain; false on failure.
    virtual bool configureRx(const StreamConfig& config) = 0;
    /// Rate in force after the last successful receive or sweep configuration; 0 before.
    virtual double actualRxSampleRateHz() const = 0;
    /// Ranges the receiver tunes to, as the board's library reports them.
    virtual std::vector<FrequencyRangeHz> rxFrequencyRanges() const = 0;
    /// Highest receive rate the board supports; 0 when the backend cannot tell.
    virtual double maximumRxSampleRateHz() const = 0;
    /// Device time of the stream, where a backend keeps one.
    virtual std::optional<double> streamTimeSeconds() const { return std::nullopt; }
    /// @}

    /// @name Tuning
    /// @{

    /// Retunes a configured receiver; false on failure.
    virtual bool setRxFrequency(double frequencyHz) = 0;
    /// True when setRxFrequency can retune from tuning data that
    /// prepareRxFrequencies computed beforehand.
    virtual bool supportsFastRxRetune() const { return false; }
    /// Precomputes tuning data for frequencies visited later; true when nothing needed doing.
    virtual bool prepareRxFrequencies(const std::vector<double>& frequenciesHz)
    {
        static_cast<void>(frequenciesHz);
        return true;
    }
    /// Retunes of the running receive stream done from prepared tuning data.
    virtual std::uint64_t fastRxRetuneCount() const { return 0; }
    /// Retunes of the running receive stream done the regular way.
    virtual std::uint64_t regularRxRetuneCount() const { return 0; }
    /// Fast retunes of the running receive stream that failed and fell back
    /// to the regular way.
    virtual std::uint64_t failedFastRxRetuneCount() const { return 0; }
    /// Library result code of the latest failed retune; 0 when none.
    virtual int lastFastRxRetuneError() const { return 0; }
    /// True when the receive chain has an RF amplifier that can be switched.
    virtual bool supportsRxAmplifier() const { return false; }
    /// Switches the receive RF amplifier; false on failure or where there is none.
    virtual bool setRxAmplifier(bool enabled)
    {
        static_cast<void>(enabled);
        return false;
    }
    /// @}

    /// @name Receive streaming
    /// @{

    /// Starts receive streaming on the configured receiver; false on failure.
    virtual bool startRx() = 0;
    /// Ends receive streaming; harmless when nothing streams.
    virtual void stopRx() = 0;
    /// Copies up to count received samples; returns how many were delivered.
    virtual std::size_t readSamples(std::complex<float>* samples, std::size_t count) = 0;
    /// @}

    /// @name Native sweep
    /// @{

    /// True when the board sweeps a range by itself (hardware sweep).
    virtual bool supportsNativeSweep() const { return false; }
    /// Plans a hardware sweep over startHz..stopHz with the given rate and
    /// gain; false when the board cannot sweep or the range is refused.
    virtual bool configureNativeSweep(const StreamConfig& config, double startHz, double stopHz)
    {
        static_cast<void>(config);
        static_cast<void>(startHz);
        static_cast<void>(stopHz);
        return false;
    }
    /// Starts the planned sweep; its blocks are read with readNativeSweepBlock.
    virtual bool startNativeSweep() { return false; }
    /// Fills block with the next sweep block; leaves it untouched on false.
    virtual bool readNativeSweepBlock(NativeSweepBlock& block)
    {
        static_cast<void>(block);
        return false;
    }
    /// Samples in each sweep block.
    virtual std::size_t nativeSweepFftSize() const { return 1024; }
    /// Stops a sweep that failed and starts it again with the last plan (a
    /// backend may reopen the board for it); false when that did not succeed.
    virtual bool recoverNativeSweep() { return false; }
    /// @}

    /// @name Transmit
    /// @{

    /// Empty when the board cannot transmit.
    virtual std::vector<FrequencyRangeHz> txFrequencyRanges() const = 0;
    /// Applies frequency, rate and gain to the transmitter; false on failure.
    virtual bool configureTx(const StreamConfig& config) = 0;
    /// Starts transmit streaming on the configured transmitter; false on failure.
    virtual bool startTx() = 0;
    /// Waits until queued samples have left the device; false when stop was requested first.
    /// A backend without a queue of its own is always drained.
    virtual bool drainTx(std::stop_token stop) { return !stop.stop_requested(); }
    /// Ends transmit streaming; harmless when nothing streams.
    virtual void stopTx() = 0;
    /// Queues up to count samples; returns how many were accepted.
    virtual std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) = 0;
    /// @}

    /// @name Native sample format
    /// The board's own samples, untouched: the same streams, losses, retune
    /// discards and timestamps as readSamples and writeSamples, without the
    /// float conversion. A buffer holds count samples of
    /// nativeSampleBytes(nativeSampleFormat()) bytes each (int8_t or int16_t
    /// values, I first); either call may be used on a running stream in place
    /// of its float counterpart.
    /// @{

    /// The format readNativeSamples and writeNativeSamples move; none when the
    /// backend streams complex floats only.
    virtual NativeSampleFormat nativeSampleFormat() const { return NativeSampleFormat::none; }
    /// Copies up to count received samples; returns how many were delivered.
    virtual std::size_t readNativeSamples(void* samples, std::size_t count)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        return 0;
    }
    /// Queues up to count samples for transmission; returns how many were accepted.
    virtual std::size_t writeNativeSamples(const void* samples, std::size_t count)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        return 0;
    }
    /// @}

    /// @name Live control
    /// Each setting may be changed while its chain streams, from a controller
    /// thread beside the thread that reads or writes: the change reaches the
    /// running board and the stream goes on. A value outside the range the
    /// backend reports, a NaN, an unknown name or a library failure answers
    /// false and leaves the setting in force. A change made while the chain is
    /// idle reaches the board at once; the next configureRx or configureTx sets
    /// the gain, rate and bandwidth it names over it.
    /// @{

    /// The chain's stages, in the order the overall gain fills them (stages it
    /// leaves alone last); empty when the backend has none to offer.
    virtual std::vector<GainStage> gainStages(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return {};
    }
    /// Range of the overall gain (named "" in the record); nullopt when unknown.
    virtual std::optional<GainStage> overallGainRange(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return std::nullopt;
    }
    /// Sets one stage, rounded to its step; the other stages keep their gains.
    virtual bool setGainStage(StreamDirection direction, const std::string& stage, double gainDb)
    {
        static_cast<void>(direction);
        static_cast<void>(stage);
        static_cast<void>(gainDb);
        return false;
    }
    /// Gain of one stage in force; nullopt for a stage the chain does not have.
    virtual std::optional<double> gainStageDb(StreamDirection direction, const std::string& stage) const
    {
        static_cast<void>(direction);
        static_cast<void>(stage);
        return std::nullopt;
    }
    /// Sets the overall gain, split over the stages as the chain's configuration splits it.
    virtual bool setGain(StreamDirection direction, double gainDb)
    {
        static_cast<void>(direction);
        static_cast<void>(gainDb);
        return false;
    }
    /// Sum of the gains in force of the stages the overall gain fills (a
    /// switched amplifier the overall gain leaves alone is not counted), so
    /// that it reads back what setGain set; nullopt when unknown.
    virtual std::optional<double> gainDb(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return std::nullopt;
    }
    /// Changes the complex sample rate. On a running receive stream no sample
    /// taken at the old rate is delivered after the call returns true.
    virtual bool setSampleRate(StreamDirection direction, double rateHz)
    {
        static_cast<void>(direction);
        static_cast<void>(rateHz);
        return false;
    }
    /// Analogue filter bandwidths the chain takes: ranges, and single widths as
    /// ranges whose ends are equal; empty when the filter cannot be set.
    virtual std::vector<FrequencyRangeHz> bandwidthRangesHz(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return {};
    }
    /// Sets the analogue filter to the nearest width it takes at or above bandwidthHz.
    virtual bool setBandwidth(StreamDirection direction, double bandwidthHz)
    {
        static_cast<void>(direction);
        static_cast<void>(bandwidthHz);
        return false;
    }
    /// Bandwidth in force; nullopt when unknown.
    virtual std::optional<double> bandwidthHz(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return std::nullopt;
    }
    /// Automatic gain control, where the board's library has one.
    virtual bool supportsAutomaticGain(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return false;
    }
    /// Switches automatic gain control on or off.
    virtual bool setAutomaticGain(StreamDirection direction, bool enabled)
    {
        static_cast<void>(direction);
        static_cast<void>(enabled);
        return false;
    }
    /// True while automatic gain control is on.
    virtual bool automaticGain(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return false;
    }
    /// Power fed to the antenna port (bias tee), where the board has a switch for it.
    virtual bool supportsBiasTee(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return false;
    }
    /// Switches the power fed to the antenna port on or off.
    virtual bool setBiasTee(StreamDirection direction, bool enabled)
    {
        static_cast<void>(direction);
        static_cast<void>(enabled);
        return false;
    }
    /// True while power is fed to the antenna port.
    virtual bool biasTee(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return false;
    }
    /// @}

    /// @name Both directions at once
    /// Off by default: startRx answers false while transmitting and startTx
    /// while receiving. Switched on, on a board that can, both directions
    /// stream side by side, each with its own configuration, stream and
    /// counters, and a board that leaves ends both with the reason in
    /// lastError. The switch may be flipped while at most one direction
    /// streams; while both do it answers false and stays on.
    /// @{

    /// True where the board can receive and transmit at once.
    virtual bool supportsFullDuplex() const { return false; }
    /// Switches full duplex on or off; false when the board cannot, or when
    /// both directions stream. Switching it off always works where it was
    /// never on.
    virtual bool setFullDuplex(bool enabled) { return !enabled; }
    /// True while full duplex is on.
    virtual bool fullDuplex() const { return false; }
    /// @}

    /// @name Hardware time
    /// The board's own sample counter as a clock: nanoseconds = ticks x 10^9 /
    /// rate + offset, the ticks rounded down to whole nanoseconds, and a time
    /// turned into a tick rounded up to the first sample at or after it.
    /// Setting the time changes the offset only; the counter runs on. A
    /// backend without hardware time answers false, 0 or nullopt to every
    /// call here, with the reason in lastError().
    /// @{

    /// True when the board counts its samples and stamps its streams with the count.
    virtual bool hasHardwareTime() const { return false; }
    /// The board's time now, in nanoseconds; nullopt when it cannot be read.
    virtual std::optional<std::int64_t> hardwareTimeNs() { return std::nullopt; }
    /// Makes the board's time read timeNs now, by moving the offset; false on failure.
    virtual bool setHardwareTimeNs(std::int64_t timeNs)
    {
        static_cast<void>(timeNs);
        return false;
    }
    /// Time of the sample at index of the reader's latest successful
    /// readSamples or readNativeSamples (0: the first it delivered), as the
    /// board stamped it; nullopt before one, or on a stream without
    /// timestamps. The reader thread asks.
    virtual std::optional<std::int64_t> readTimeNs(std::size_t index) const
    {
        static_cast<void>(index);
        return std::nullopt;
    }
    /// Starts receive streaming so that the first sample delivered is the one
    /// taken at timeNs (rounded up to a sample); false when the time has
    /// passed, lies beyond the counter's range, or the start fails. Reads
    /// deliver nothing until then.
    virtual bool startRxAt(std::int64_t timeNs)
    {
        static_cast<void>(timeNs);
        return false;
    }
    /// Starts a transmit stream that carries timestamps: writes go out in
    /// bursts, which writeBurst and writeNativeBurst mark; writeSamples and
    /// writeNativeSamples on it continue the open burst or begin one at once.
    /// False when the board or its library cannot.
    virtual bool startTimedTx() { return false; }
    /// Queues up to count samples of a burst on a timed transmit stream;
    /// returns how many were accepted (the marks apply to a whole write
    /// only). A late burst is accepted and dropped whole, up to its end mark,
    /// and reported by nextTxEvent; 0 with lastError() for a refused write.
    virtual std::size_t writeBurst(const std::complex<float>* samples, std::size_t count, const TxBurstMarks& marks)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        static_cast<void>(marks);
        return 0;
    }
    /// writeBurst in the board's native format (see nativeSampleFormat()).
    virtual std::size_t writeNativeBurst(const void* samples, std::size_t count, const TxBurstMarks& marks)
    {
        static_cast<void>(samples);
        static_cast<void>(count);
        static_cast<void>(marks);
        return 0;
    }
    /// The oldest outcome of a burst not yet reported, in the order they
    /// happened; nullopt when there is none yet. Never blocks for long: it
    /// may read the board's counter once.
    virtual std::optional<TxEvent> nextTxEvent() { return std::nullopt; }
    /// @}

    /// @name Identity and health
    /// Cold-path questions a client asks when something misbehaves; each may
    /// talk to the board, so ask from the controlling thread. A library
    /// without the entry point an item needs leaves that item out.
    /// @{

    /// Versions and parts of the board and its library, asked afresh.
    virtual BoardIdentity boardIdentity() const { return {}; }
    /// The board-wide sensors; empty when the board has none.
    virtual std::vector<SensorDescription> sensors() const { return {}; }
    /// The sensors of a direction's chain; empty when it has none.
    virtual std::vector<SensorDescription> channelSensors(StreamDirection direction) const
    {
        static_cast<void>(direction);
        return {};
    }
    /// Reads a board-wide sensor; a failure with words for one not listed.
    virtual SensorReading readSensor(const std::string& name)
    {
        return {std::nullopt, "the board has no sensor named \"" + name + "\""};
    }
    /// Reads a sensor of a direction's chain; a failure with words for one not listed.
    virtual SensorReading readChannelSensor(StreamDirection direction, const std::string& name)
    {
        static_cast<void>(direction);
        return {std::nullopt, "the channel has no sensor named \"" + name + "\""};
    }
    /// @}

    /// @name Antennas: ports a chain may be switched to, by name or by frequency
    /// @{

    /// One entry of a frequency plan: the port used while tuned inside the range.
    struct AntennaRange {
        std::string antenna;    ///< a name antennas() lists
        FrequencyRangeHz range; ///< frequencies, both ends inclusive
    };
    /// Ports of the chain by name, the default first; empty for one fixed port.
    virtual std::vector<std::string> antennas(StreamDirection) const { return {}; }
    /// The port in force (under a plan, the one the board takes where it is tuned); empty for one fixed port.
    virtual std::string antenna(StreamDirection) const { return {}; }
    /// Switches to a port by name, ending a plan on its switch; false with lastError().
    virtual bool setAntenna(StreamDirection, const std::string&) { return false; }
    /// Ports chosen by the board on every retune; an empty plan ends it. False with lastError().
    virtual bool setAntennaPlan(const std::vector<AntennaRange>& plan) { return plan.empty(); }
    /// The plan in force; empty when none.
    virtual std::vector<AntennaRange> antennaPlan() const { return {}; }
    /// Accessories found on the board ("Opera Cake 0"); empty when none.
    virtual std::vector<std::string> accessories() const { return {}; }
    /// @}
};

} // namespace veltrano
