// SPDX-License-Identifier: MIT
// The declaration order of ISdrDevice is the virtual-table order; keep it stable.
#pragma once

#include <chrono>
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
    std::optional<std::string> usbApiVersion;   ///< the USB interface the firmware speaks ("1.06")

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

/// What a full host-side receive buffer does with the samples that keep coming.
enum class RxOverflowPolicy {
    keepOldest, ///< the newest samples are dropped; the reader gets every stored one
    keepFresh,  ///< as keepOldest, and at a loss the reader skips to the newest samples
};

/// Every loss counter a backend keeps, each counted since its stream's start
/// (zero before any start). A counter the family cannot see stays zero.
struct StreamLosses {
    /// Receive losses the stream noticed, one per loss: bladeRF timestamp
    /// gaps, HackRF receive-ring overflows the reader has got to.
    std::uint64_t rxOverruns = 0;
    /// Samples those losses held, where the stream tells (bladeRF: an upper
    /// bound from the timestamps).
    std::uint64_t rxLostSamples = 0;
    /// Received bytes the host ring dropped because it was full (HackRF).
    std::uint64_t rxDroppedBytes = 0;
    /// Stored bytes a keepFresh reader skipped to get to the newest ones (HackRF).
    std::uint64_t rxSkippedBytes = 0;
    /// Samples thrown away after a live retune or rate change, never handed out.
    std::uint64_t rxDiscardedSamples = 0;
    /// Times the board itself fell behind on receive (the host had no transfer
    /// ready), and the longest such run in bytes; nullopt where the board or
    /// its library cannot tell. Not part of rxOverruns.
    std::optional<std::uint64_t> rxBoardShortfalls;
    std::optional<std::uint64_t> rxBoardLongestShortfallBytes; ///< see rxBoardShortfalls
    /// Sweep blocks dropped because the sweep queue was full.
    std::uint64_t sweepDroppedBlocks = 0;
    /// Times transmit ran out of samples while it streamed (HackRF: transfers
    /// the ring could not fill; bladeRF: underruns inside a timed burst).
    std::uint64_t txUnderruns = 0;
    /// Bytes of silence a HackRF sent in place of those samples.
    std::uint64_t txUnderrunBytes = 0;
    /// Times the board itself ran out of samples to send (the host had no
    /// transfer ready), and the longest such run in bytes; nullopt where the
    /// board or its library cannot tell. Not part of txUnderruns.
    std::optional<std::uint64_t> txBoardUnderruns;
    std::optional<std::uint64_t> txBoardLongestUnderrunBytes; ///< see txBoardUnderruns
};

/// What a client needs to drive one direction's stream. Sample counts are
/// per channel: a stream of two channels (see setStreamChannels) moves that
/// many samples of each.
struct StreamLimits {
    /// Complex sample rates the direction takes; empty when the board cannot stream it.
    std::vector<FrequencyRangeHz> sampleRateRangesHz;
    /// Receive reads of at least this many samples deliver whole multiples of it.
    std::size_t readGranularity = 1;
    /// Samples the backend moves to or from its library in one transfer: a
    /// read or write of this many samples takes no extra copy or allocation.
    std::size_t transferSamples = 0;
    /// Transmit: once drainTx answered true the stream has ended, and only
    /// stopTx and startTx let it take samples again.
    bool drainEndsStream = false;
};

/// The longest time readSamples, readNativeSamples, writeSamples,
/// writeNativeSamples, writeBurst and writeNativeBurst block when nothing
/// comes or nothing fits, board checks after a library time-out included.
/// Both families stay under it: a HackRF read gives up after about 100 ms and
/// its writes never wait; a bladeRF read after 100 ms and a write after
/// 250 ms, each followed by one board check where the library timed out.
inline constexpr std::chrono::milliseconds kLongestStreamCallWait{500};

/// A board's part in a chain of boards that start on one trigger line.
enum class TriggerRole {
    off,    ///< the direction starts when its stream starts
    master, ///< drives the line: its fire starts every armed board, itself included
    slave,  ///< follows the line: an armed slave starts when the master fires
};

/// A direction's trigger as the board reports it.
struct TriggerState {
    bool armed = false;         ///< the next start waits for the line
    bool fired = false;         ///< the line has fired since the trigger was armed
    bool fireRequested = false; ///< a master only: its fire reached the board
};

/// One place a board's sample clock can come from.
struct ClockSourceInfo {
    std::string name; ///< what setClockSource takes ("internal", "external", "external-pll")
    /// Frequencies the source takes, for a reference the board multiplies up;
    /// empty where the frequency is fixed.
    std::vector<FrequencyRangeHz> referenceRangesHz;
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
    virtual std::string lastError() const;
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
    /// Device time of the stream, where a backend keeps one; nullopt by default.
    virtual std::optional<double> streamTimeSeconds() const;
    /// @}

    /// @name Tuning
    /// @{

    /// Retunes a configured receiver; false on failure.
    virtual bool setRxFrequency(double frequencyHz) = 0;
    /// True when setRxFrequency can retune from tuning data that
    /// prepareRxFrequencies computed beforehand.
    virtual bool supportsFastRxRetune() const;
    /// Precomputes tuning data for frequencies visited later; true when nothing needed doing.
    virtual bool prepareRxFrequencies(const std::vector<double>& frequenciesHz);
    /// Retunes of the running receive stream done from prepared tuning data.
    virtual std::uint64_t fastRxRetuneCount() const;
    /// Retunes of the running receive stream done the regular way.
    virtual std::uint64_t regularRxRetuneCount() const;
    /// Fast retunes of the running receive stream that failed and fell back
    /// to the regular way.
    virtual std::uint64_t failedFastRxRetuneCount() const;
    /// Library result code of the latest failed retune; 0 when none.
    virtual int lastFastRxRetuneError() const;
    /// True when the receive chain has an RF amplifier that can be switched.
    virtual bool supportsRxAmplifier() const;
    /// Switches the receive RF amplifier; false on failure or where there is none.
    virtual bool setRxAmplifier(bool enabled);
    /// @}

    /// @name Receive streaming
    /// @{

    /// Starts receive streaming on the configured receiver; false on failure.
    virtual bool startRx() = 0;
    /// Ends receive streaming; harmless when nothing streams.
    virtual void stopRx() = 0;
    /// Copies up to count received samples; returns how many were delivered.
    /// Blocks at most kLongestStreamCallWait when none come.
    virtual std::size_t readSamples(std::complex<float>* samples, std::size_t count) = 0;
    /// @}

    /// @name Native sweep
    /// @{

    /// True when the board sweeps a range by itself (hardware sweep).
    virtual bool supportsNativeSweep() const;
    /// Plans a hardware sweep over startHz..stopHz with the given rate and
    /// gain; false when the board cannot sweep or the range is refused.
    virtual bool configureNativeSweep(const StreamConfig& config, double startHz, double stopHz);
    /// Starts the planned sweep; its blocks are read with readNativeSweepBlock.
    virtual bool startNativeSweep();
    /// Fills block with the next sweep block; leaves it untouched on false.
    virtual bool readNativeSweepBlock(NativeSweepBlock& block);
    /// Samples in each sweep block (1024 by default).
    virtual std::size_t nativeSweepFftSize() const;
    /// Stops a sweep that failed and starts it again with the last plan (a
    /// backend may reopen the board for it); false when that did not succeed.
    virtual bool recoverNativeSweep();
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
    virtual bool drainTx(std::stop_token stop);
    /// Ends transmit streaming; harmless when nothing streams.
    virtual void stopTx() = 0;
    /// Queues up to count samples; returns how many were accepted. Blocks at
    /// most kLongestStreamCallWait when none fit.
    virtual std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) = 0;
    /// @}

    // ---- Appended to the operations above, grouped by concern ----------------

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
    virtual NativeSampleFormat nativeSampleFormat() const;
    /// Copies up to count received samples; returns how many were delivered.
    virtual std::size_t readNativeSamples(void* samples, std::size_t count);
    /// Queues up to count samples for transmission; returns how many were accepted.
    virtual std::size_t writeNativeSamples(const void* samples, std::size_t count);
    /// @}

    /// @name Losses and stream state
    /// What a client needs to drive a stream and to know what it lost, asked
    /// from any thread at any time: the answers are loads, never a board call.
    /// @{

    /// Every loss counter the backend keeps, as they stand now.
    virtual StreamLosses streamLosses() const;
    /// Why the direction's stream ended by itself (the board left, the
    /// library failed, a drained HackRF transmit, a board that gave the stream
    /// up); empty while it runs, before it starts and after the caller
    /// stopped it. A sweep is the receive direction's stream. Reads and writes
    /// after such an end deliver nothing.
    virtual std::string streamEnded(StreamDirection direction) const;
    /// The direction's rates, read granularity, transfer size and drain behaviour.
    virtual StreamLimits streamLimits(StreamDirection direction) const;
    /// True where the receive side lets the caller choose its overflow policy.
    virtual bool supportsRxOverflowPolicy() const;
    /// Takes effect at the next read; keepOldest until changed. False where
    /// the policy cannot be chosen (then it is keepOldest).
    virtual bool setRxOverflowPolicy(RxOverflowPolicy policy);
    /// The policy in force.
    virtual RxOverflowPolicy rxOverflowPolicy() const;
    /// A loss on the board this long (bytes; 0: none) makes the board give
    /// the direction's stream up, which then ends with words in
    /// streamEnded(). Applied by the next configuration of the direction.
    /// False, with lastError() set, when the library or board cannot limit.
    virtual bool setBoardLossLimit(StreamDirection direction, std::uint32_t bytes);
    /// The limit the next configuration applies; nullopt where the family has none.
    virtual std::optional<std::uint32_t> boardLossLimit(StreamDirection direction) const;
    /// @}

    /// @name Live control
    /// Each setting may be changed while its chain streams, from a controller
    /// thread beside the thread that reads or writes: the change reaches the
    /// running board and the stream goes on. A value outside the range the
    /// backend reports, a NaN, an unknown name or a library failure answers
    /// false and leaves the setting in force. A change made while the chain is
    /// idle reaches the board at once; the next configureRx or configureTx sets
    /// the gain, rate and bandwidth it names over it. By default a chain has
    /// nothing to change: lists are empty, values nullopt, setters false.
    /// @{

    /// The chain's stages, in the order the overall gain fills them (stages it
    /// leaves alone last); empty when the backend has none to offer.
    virtual std::vector<GainStage> gainStages(StreamDirection direction) const;
    /// Range of the overall gain (named "" in the record); nullopt when unknown.
    virtual std::optional<GainStage> overallGainRange(StreamDirection direction) const;
    /// Sets one stage, rounded to its step; the other stages keep their gains.
    virtual bool setGainStage(StreamDirection direction, const std::string& stage, double gainDb);
    /// Gain of one stage in force; nullopt for a stage the chain does not have.
    virtual std::optional<double> gainStageDb(StreamDirection direction, const std::string& stage) const;
    /// Sets the overall gain, split over the stages as the chain's configuration splits it.
    virtual bool setGain(StreamDirection direction, double gainDb);
    /// Sum of the gains in force of the stages the overall gain fills (a
    /// switched amplifier the overall gain leaves alone is not counted), so
    /// that it reads back what setGain set; nullopt when unknown.
    virtual std::optional<double> gainDb(StreamDirection direction) const;
    /// Changes the complex sample rate. On a running receive stream no sample
    /// taken at the old rate is delivered after the call returns true.
    virtual bool setSampleRate(StreamDirection direction, double rateHz);
    /// Analogue filter bandwidths the chain takes: ranges, and single widths as
    /// ranges whose ends are equal; empty when the filter cannot be set.
    virtual std::vector<FrequencyRangeHz> bandwidthRangesHz(StreamDirection direction) const;
    /// Sets the analogue filter to the nearest width it takes at or above bandwidthHz.
    virtual bool setBandwidth(StreamDirection direction, double bandwidthHz);
    /// Bandwidth in force; nullopt when unknown.
    virtual std::optional<double> bandwidthHz(StreamDirection direction) const;
    /// Automatic gain control, where the board's library has one.
    virtual bool supportsAutomaticGain(StreamDirection direction) const;
    /// Switches automatic gain control on or off.
    virtual bool setAutomaticGain(StreamDirection direction, bool enabled);
    /// True while automatic gain control is on.
    virtual bool automaticGain(StreamDirection direction) const;
    /// Power fed to the antenna port (bias tee), where the board has a switch for it.
    virtual bool supportsBiasTee(StreamDirection direction) const;
    /// Switches the power fed to the antenna port on or off.
    virtual bool setBiasTee(StreamDirection direction, bool enabled);
    /// True while power is fed to the antenna port.
    virtual bool biasTee(StreamDirection direction) const;
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
    virtual bool supportsFullDuplex() const;
    /// Switches full duplex on or off; false when the board cannot, or when
    /// both directions stream. Switching it off always works where it was
    /// never on.
    virtual bool setFullDuplex(bool enabled);
    /// True while full duplex is on.
    virtual bool fullDuplex() const;
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
    virtual bool hasHardwareTime() const;
    /// The board's time now, in nanoseconds; nullopt when it cannot be read.
    virtual std::optional<std::int64_t> hardwareTimeNs();
    /// Makes the board's time read timeNs now, by moving the offset; false on failure.
    virtual bool setHardwareTimeNs(std::int64_t timeNs);
    /// Time of the sample at index of the reader's latest successful
    /// readSamples or readNativeSamples (0: the first it delivered), as the
    /// board stamped it; nullopt before one, or on a stream without
    /// timestamps. The reader thread asks.
    virtual std::optional<std::int64_t> readTimeNs(std::size_t index) const;
    /// Starts receive streaming so that the first sample delivered is the one
    /// taken at timeNs (rounded up to a sample); false when the time has
    /// passed, lies beyond the counter's range, or the start fails. Reads
    /// deliver nothing until then.
    virtual bool startRxAt(std::int64_t timeNs);
    /// Starts a transmit stream that carries timestamps: writes go out in
    /// bursts, which writeBurst and writeNativeBurst mark; writeSamples and
    /// writeNativeSamples on it continue the open burst or begin one at once.
    /// False when the board or its library cannot.
    virtual bool startTimedTx();
    /// Queues up to count samples of a burst on a timed transmit stream;
    /// returns how many were accepted (the marks apply to a whole write
    /// only). A late burst is accepted and dropped whole, up to its end mark,
    /// and reported by nextTxEvent; 0 with lastError() for a refused write.
    virtual std::size_t writeBurst(const std::complex<float>* samples, std::size_t count, const TxBurstMarks& marks);
    /// writeBurst in the board's native format (see nativeSampleFormat()).
    virtual std::size_t writeNativeBurst(const void* samples, std::size_t count, const TxBurstMarks& marks);
    /// The oldest outcome of a burst not yet reported, in the order they
    /// happened; nullopt when there is none yet. Never blocks for long: it
    /// may read the board's counter once.
    virtual std::optional<TxEvent> nextTxEvent();
    /// @}

    /// @name Identity and health
    /// Cold-path questions a client asks when something misbehaves; each may
    /// talk to the board, so ask from the controlling thread. A library
    /// without the entry point an item needs leaves that item out.
    /// @{

    /// Versions and parts of the board and its library, asked afresh.
    virtual BoardIdentity boardIdentity() const;
    /// The board-wide sensors; empty when the board has none.
    virtual std::vector<SensorDescription> sensors() const;
    /// The sensors of a direction's chain; empty when it has none.
    virtual std::vector<SensorDescription> channelSensors(StreamDirection direction) const;
    /// Reads a board-wide sensor; a failure with words for one not listed.
    virtual SensorReading readSensor(const std::string& name);
    /// Reads a sensor of a direction's chain; a failure with words for one not listed.
    virtual SensorReading readChannelSensor(StreamDirection direction, const std::string& name);
    /// @}

    /// @name Antennas and accessories
    /// Ports a chain may be switched to, by name or by frequency, and the
    /// expansion boards on the board. By default a chain has one fixed port
    /// and the board no accessory.
    /// @{

    /// One entry of a frequency plan: the port used while tuned inside the range.
    struct AntennaRange {
        std::string antenna;    ///< a name antennas() lists
        FrequencyRangeHz range; ///< frequencies, both ends inclusive
    };
    /// Ports of the chain by name, the default first; empty for one fixed port.
    virtual std::vector<std::string> antennas(StreamDirection direction) const;
    /// The port in force (under a plan, the one the board takes where it is tuned); empty for one fixed port.
    virtual std::string antenna(StreamDirection direction) const;
    /// Switches to a port by name, ending a plan on its switch; false with lastError().
    virtual bool setAntenna(StreamDirection direction, const std::string& name);
    /// Ports chosen by the board on every retune; an empty plan ends it. False with lastError().
    virtual bool setAntennaPlan(const std::vector<AntennaRange>& plan);
    /// The plan in force; empty when none.
    virtual std::vector<AntennaRange> antennaPlan() const;
    /// Accessories found on the board or attached ("Opera Cake 0", "XB-200"); empty when none.
    virtual std::vector<std::string> accessories() const;
    /// Expansion boards the caller may attach by name because the board
    /// cannot detect them ("xb200" on a bladeRF1), each with the options
    /// attachAccessory takes for it, the first the usual one.
    struct AttachableAccessory {
        std::string name;                 ///< what attachAccessory takes
        std::vector<std::string> options; ///< its modes ("auto", "50M", ...)
    };
    /// Empty where nothing can be attached.
    virtual std::vector<AttachableAccessory> attachableAccessories() const;
    /// Attaches one with an option attachableAccessories lists; false with lastError().
    virtual bool attachAccessory(const std::string& name, const std::string& option);
    /// @}

    /// @name Several channels of one direction
    /// A board with more than one channel per direction streams a chosen set
    /// of them side by side on one sample clock: one rate, one frequency (the
    /// direction's one oscillator, so setRxFrequency and setTxFrequency move
    /// every channel of it) and one stream whose losses and timestamps all its
    /// channels share. The set is chosen before the direction's stream starts;
    /// {0} until then, which keeps every single-channel call as it is. With
    /// more than one channel, only the per-channel reads and writes move
    /// samples: readSamples, readNativeSamples, writeSamples and
    /// writeNativeSamples answer 0 with the reason in lastError().
    /// @{

    /// Channels the direction has; 1 by default.
    virtual std::size_t channelCount(StreamDirection direction) const;
    /// Chooses the channels the direction's next stream carries, in the order
    /// the per-channel buffers come. False, with lastError() saying why, for
    /// an empty list, a repeated channel, one the board does not have, more
    /// channels than the board streams at once, or any change while the
    /// direction streams. By default only {0} is taken.
    virtual bool setStreamChannels(StreamDirection direction, const std::vector<std::size_t>& channels);
    /// The channels chosen; {0} by default.
    virtual std::vector<std::size_t> streamChannels(StreamDirection direction) const;
    /// Copies up to count received samples into each streamed channel's
    /// buffer (buffers[i] for streamChannels()[i]); returns the samples
    /// delivered per channel, the same for every channel and taken at the same
    /// instants. readTimeNs stamps them as it stamps readSamples. The default
    /// reads channel 0 alone through readSamples.
    virtual std::size_t readChannelSamples(std::complex<float>* const* buffers, std::size_t count);
    /// readChannelSamples in the board's native format (see nativeSampleFormat()).
    virtual std::size_t readNativeChannelSamples(void* const* buffers, std::size_t count);
    /// Queues up to count samples of each streamed channel's buffer, sent at
    /// the same instants; returns the samples accepted per channel.
    virtual std::size_t writeChannelSamples(const std::complex<float>* const* buffers, std::size_t count);
    /// writeChannelSamples in the board's native format.
    virtual std::size_t writeNativeChannelSamples(const void* const* buffers, std::size_t count);
    /// Sets one channel's overall gain. Reaches a streaming channel at once
    /// (live, as setGain); one not streaming keeps it and gets it when its
    /// stream starts. False for a channel the direction does not have, a NaN,
    /// or a library failure. The default has no per-channel gain.
    virtual bool setChannelGain(StreamDirection direction, std::size_t channel, double gainDb);
    /// The gain set for the channel, or the one in force where none was set;
    /// NaN when unknown.
    virtual double channelGain(StreamDirection direction, std::size_t channel) const;
    /// @}
    /// @name Boards that sample in step
    /// Coherent reception needs boards on one reference clock that start on
    /// one instant. A direction given a trigger role and armed does not start
    /// free-running: its next start (startRx, and startTx where the board
    /// can) sets the stream up and it then waits, delivering nothing, until
    /// the master fires the line. A board that cannot wait (a library without
    /// the trigger calls, a board that does not read back as armed) is
    /// refused with the reason in lastError(). By default a board has neither
    /// triggers nor a choice of clocks: every call answers false, empty or
    /// nullopt.
    /// @{

    /// True where the direction can start on a trigger line.
    virtual bool supportsTrigger(StreamDirection direction) const;
    /// The line's signals (pins) the board can use, its default first.
    virtual std::vector<std::string> triggerSignals(StreamDirection direction) const;
    /// Chooses the direction's role and signal ("" for the board's default
    /// pin); TriggerRole::off disarms it. Not while the direction streams.
    virtual bool setTrigger(StreamDirection direction, TriggerRole role, const std::string& signal);
    /// Arms (or disarms) the direction's trigger; armed, the next start
    /// waits for the fire. False when the board does not read back as armed.
    virtual bool armTrigger(StreamDirection direction, bool armed);
    /// The master's fire: every armed board on the line starts at one instant.
    virtual bool fireTrigger(StreamDirection direction);
    /// The trigger as the board reports it now; nullopt when it cannot be read.
    virtual std::optional<TriggerState> triggerState(StreamDirection direction) const;
    /// Receive: the time of the first sample a triggered stream delivered,
    /// which is the tick the line fired at; nullopt before that sample came
    /// (or without hardware time).
    virtual std::optional<std::int64_t> triggeredStartTimeNs() const;
    /// Where the sample clock can come from, the board's own first; empty
    /// where it cannot be chosen.
    virtual std::vector<ClockSourceInfo> clockSources() const;
    /// Takes the clock from a source clockSources() lists, with the reference's
    /// frequency where the source takes one (0 otherwise). False with lastError().
    virtual bool setClockSource(const std::string& name, double referenceHz);
    /// The source in force; empty where it cannot be chosen.
    virtual std::string clockSource() const;
    /// Whether the board's clock is locked to the source in force, read from
    /// the board: false for a lost lock; nullopt where there is no lock to read.
    virtual std::optional<bool> clockLocked() const;
    /// True where the board can drive its clock out to other boards.
    virtual bool supportsClockOutput() const;
    /// Switches the clock out on or off; false with lastError().
    virtual bool setClockOutput(bool enabled);
    /// Whether the clock out is on; nullopt when it cannot be read.
    virtual std::optional<bool> clockOutput() const;
    /// @}
    /// @name Per-channel gain stages and automatic gain
    /// Each channel of a direction has its own gain chain, with the stages
    /// gainStages() lists. The channel the direction-wide calls address (the
    /// first streamed one) is reached through them: these calls on it are
    /// setGainStage, gainStageDb, setAutomaticGain and automaticGain. Another
    /// channel is set live while it streams and otherwise keeps the setting
    /// for when it starts, as setChannelGain does; a later setChannelGain, or
    /// the next configureRx or configureTx, sets the overall gain over it.
    /// By default only channel 0 has a chain, the direction's own.
    /// @{

    /// Sets one stage of a channel's chain, rounded to its step; false for a
    /// channel or stage the direction does not have, a value outside the
    /// stage's range, a NaN or a library failure.
    virtual bool setChannelGainStage(StreamDirection direction, std::size_t channel, const std::string& stage,
                                     double gainDb);
    /// The gain of one stage of a channel's chain: the one kept for it, or in
    /// force; nullopt when unknown.
    virtual std::optional<double> channelGainStageDb(StreamDirection direction, std::size_t channel,
                                                     const std::string& stage) const;
    /// Switches a channel's automatic gain control on or off, where
    /// supportsAutomaticGain(direction).
    virtual bool setChannelAutomaticGain(StreamDirection direction, std::size_t channel, bool enabled);
    /// True while (or, for an idle channel, once it starts) the channel's
    /// automatic gain control is on.
    virtual bool channelAutomaticGain(StreamDirection direction, std::size_t channel) const;
    /// @}
};

} // namespace veltrano
