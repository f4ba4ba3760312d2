// SPDX-License-Identifier: MIT
#pragma once

#include "device/ISdrDevice.h"
#include "device/StreamEndReasons.h"
#include "device/bladerf/ControllerFirstMutex.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

struct bladerf_trigger;

namespace veltrano {

/// One bladeRF board behind ISdrDevice, driven through libbladeRF's
/// synchronous interface. A receiving device may be used by a reader thread
/// (readSamples) and a controller thread (retuning, live control, counters,
/// stopRx) at once; deviceMutex_ serialises each library receive call with
/// retuning, every live control call, the stops and the transmit set-up. A
/// library transmit call holds no lock, so with both directions streaming a
/// writer waiting for buffers never holds up the reader. Failures after
/// construction are reported by results; the only text kept is why a running
/// stream failed (a board that vanished).
class BladeRfSdrDevice final : public ISdrDevice {
public:
    /// Opens the board with this serial, or the first board when it is empty.
    /// Throws std::runtime_error when the library is missing or the open fails.
    explicit BladeRfSdrDevice(std::string serial);
    /// Stops any stream and closes the board.
    ~BladeRfSdrDevice() override;

    /// One object per open board: not copyable.
    BladeRfSdrDevice(const BladeRfSdrDevice&) = delete;
    /// One object per open board: not assignable.
    BladeRfSdrDevice& operator=(const BladeRfSdrDevice&) = delete;

    DeviceInfo info() const override;
    /// Why the last library read or write of a stream failed: "RX stream
    /// stopped: " or "TX stream stopped: " and the library's text (a time-out,
    /// which a silent board gives, is not one). A board that leaves while both
    /// directions stream ends both: the text then holds both, "RX stream
    /// stopped: <reason>; TX stream stopped: <reason>". Empty until then; a
    /// stream start clears it, unless the other direction streams on. Any
    /// thread may ask.
    std::string lastError() const override;

    bool configureRx(const StreamConfig& config) override;
    double actualRxSampleRateHz() const override;
    /// At most one range, asked from the library on every call.
    std::vector<FrequencyRangeHz> rxFrequencyRanges() const override;
    /// Upper end of the library's receive rate range; 0 when it cannot tell.
    double maximumRxSampleRateHz() const override;

    bool setRxFrequency(double frequencyHz) override;
    bool supportsFastRxRetune() const override;
    bool prepareRxFrequencies(const std::vector<double>& frequenciesHz) override;
    std::uint64_t fastRxRetuneCount() const override;
    std::uint64_t regularRxRetuneCount() const override;
    std::uint64_t failedFastRxRetuneCount() const override;
    int lastFastRxRetuneError() const override;

    bool startRx() override;
    void stopRx() override;
    std::size_t readSamples(std::complex<float>* samples, std::size_t count) override;

    /// Gaps in the received samples since startRx: samples the board produced
    /// that were dropped before a read could take them (a reader that fell
    /// behind the library's buffers). Each gap counts once, in the plain and
    /// the timestamped stream alike; a library that refuses the timestamped
    /// format carries no timestamps, and its gaps cannot be seen. Any thread
    /// may ask.
    std::uint64_t rxOverrunCount() const;
    /// Samples lost in those gaps, where the timestamps on both sides tell how
    /// many (a gap before a read that asks for a retune's timestamp does not;
    /// buffers the library hands out of order after a loss make it too high).
    std::uint64_t rxLostSamples() const;
    /// Samples skipped after a retune or a live rate change (the settling
    /// samples, and those at the old setting not yet read), counted where
    /// the stream's timestamps show them; since the stream started.
    std::uint64_t rxDiscardedSamples() const;

    /// Losses and stream state: the counters above and the timed bursts'
    /// underruns in one record; the library's sample-rate range; reads in
    /// whole 1,024-sample blocks of 16,384-sample transfers, writes of up to
    /// 65,536; a drained transmit stream goes on.
    StreamLosses streamLosses() const override;
    std::string streamEnded(StreamDirection direction) const override;
    StreamLimits streamLimits(StreamDirection direction) const override;

    /// Empty unless the board has a transmit channel and the library can transmit.
    std::vector<FrequencyRangeHz> txFrequencyRanges() const override;
    bool configureTx(const StreamConfig& config) override;
    bool startTx() override;
    /// libbladeRF sends only whole buffers of 65,536 samples and cancels the
    /// ones in flight when the stream stops, so the samples written since the
    /// last drain are on the air only once the partial buffer is completed
    /// with silence and every buffer after it has left the board. The library
    /// shows that last point in one way only: its ring of 32 buffers turns
    /// once, so the drain sends up to 31 more buffers of silence (2,031,617
    /// samples, 0.2 s at 10 MS/s; beside a timestamped receive stream, whose
    /// messages carry headers, buffers of 65,024). True when nothing was written since the
    /// last drain; false when a stop is requested or a write fails (with the
    /// reason in lastError). The stream stays on and takes more samples.
    bool drainTx(std::stop_token stop) override;
    void stopTx() override;
    std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) override;

    /// SC16 Q11 I/Q, the values libbladeRF moves. Reads of whole library reads
    /// land in the caller's buffer directly; writes go to the library from it.
    NativeSampleFormat nativeSampleFormat() const override;
    std::size_t readNativeSamples(void* samples, std::size_t count) override;
    std::size_t writeNativeSamples(const void* samples, std::size_t count) override;

    /// @name Live control
    /// Stages and ranges are the library's, asked on every call (a bladeRF
    /// 2.0's depend on the frequency it is tuned to). The overall gain is the
    /// library's own figure, which on a bladeRF1 sits a fixed offset from the
    /// stages' sum. Names and values are checked before the library sees them.
    /// @{

    std::vector<GainStage> gainStages(StreamDirection direction) const override;
    std::optional<GainStage> overallGainRange(StreamDirection direction) const override;
    bool setGainStage(StreamDirection direction, const std::string& stage, double gainDb) override;
    std::optional<double> gainStageDb(StreamDirection direction, const std::string& stage) const override;
    bool setGain(StreamDirection direction, double gainDb) override;
    std::optional<double> gainDb(StreamDirection direction) const override;
    /// Changes the complex sample rate. On a running receive stream the
    /// samples still queued at the old rate are dropped: a timestamped stream
    /// asks for the board's samples from the change on, a plain one is
    /// restarted inside the library.
    bool setSampleRate(StreamDirection direction, double rateHz) override;
    std::vector<FrequencyRangeHz> bandwidthRangesHz(StreamDirection direction) const override;
    bool setBandwidth(StreamDirection direction, double bandwidthHz) override;
    std::optional<double> bandwidthHz(StreamDirection direction) const override;
    /// Receive only, where the library lists a gain mode other than manual.
    bool supportsAutomaticGain(StreamDirection direction) const override;
    bool setAutomaticGain(StreamDirection direction, bool enabled) override;
    bool automaticGain(StreamDirection direction) const override;
    /// Where the library can read the board's bias-tee switch (the bladeRF 2.0
    /// micro's; a bladeRF1 has none, and the library refuses it).
    bool supportsBiasTee(StreamDirection direction) const override;
    bool setBiasTee(StreamDirection direction, bool enabled) override;
    bool biasTee(StreamDirection direction) const override;
    /// @}

    /// @name Both directions at once
    /// Every bladeRF has a receive and a transmit chain with their own
    /// library streams. With full duplex on, each direction may be
    /// configured, started, stopped and controlled while the other streams;
    /// a bladeRF1 clocks them apart, so their rates are free, while a bladeRF
    /// 2.0 clocks both from one converter, so a rate for one direction that
    /// differs from the rate the other streams at is refused. A write
    /// waiting for the library's buffers holds no lock a read needs, and a
    /// read holds deviceMutex_ for one library call at most.
    /// @{

    bool supportsFullDuplex() const override;
    bool setFullDuplex(bool enabled) override;
    bool fullDuplex() const override;
    /// @}

    /// @name Hardware time
    /// The receive counter (the transmit one before a receiver is configured)
    /// at the direction's whole-Hz rate. Reads stamp their first sample with
    /// the library's timestamp; a timed transmit stream runs in the library's
    /// timestamped format, and each burst's start is checked against the
    /// board's transmit counter before its samples are handed on. A burst is
    /// reported sent once that counter has passed its last sample; an
    /// underrun once it passed the samples written into a burst still open.
    /// @{

    bool hasHardwareTime() const override;
    std::optional<std::int64_t> hardwareTimeNs() override;
    bool setHardwareTimeNs(std::int64_t timeNs) override;
    std::optional<std::int64_t> readTimeNs(std::size_t index) const override;
    bool startRxAt(std::int64_t timeNs) override;
    bool startTimedTx() override;
    std::size_t writeBurst(const std::complex<float>* samples, std::size_t count, const TxBurstMarks& marks) override;
    std::size_t writeNativeBurst(const void* samples, std::size_t count, const TxBurstMarks& marks) override;
    std::optional<TxEvent> nextTxEvent() override;
    /// @}

    /// @name Identity and health
    /// Versions from the library's own calls, each left out where the loaded
    /// library lacks it. The AD9361's temperature (board-wide) and the
    /// receive chain's RSSI, on a bladeRF 2.0 only; libbladeRF reads the
    /// temperature only in its host tuning mode, and says so otherwise.
    /// @{

    BoardIdentity boardIdentity() const override;
    std::vector<SensorDescription> sensors() const override;

    /// The XB-200 transverter's filter banks (BladeRfXb200.cpp): chosen from
    /// the frequency on every tune (automatic, the library's 1 dB points), or
    /// one held.
    enum class Xb200Filter { automatic, mhz50, mhz144, mhz222, custom };
    /// Attaches an XB-200 (a bladeRF1 cannot detect one): the receive and
    /// transmit ranges widen to what the library gives it (down to 0 Hz), a
    /// tune below 300 MHz goes through its mixer, and receive hops prepared
    /// after it carry its switches. False with lastError() where the board or
    /// the library cannot.
    bool attachXb200(Xb200Filter filter);
    /// "XB-200" once attached.
    std::vector<std::string> accessories() const override;
    /// On a bladeRF1: "xb200" with "auto", "50M", "144M", "222M" and
    /// "custom", the filter banks attachXb200 takes.
    std::vector<AttachableAccessory> attachableAccessories() const override;
    bool attachAccessory(const std::string& name, const std::string& option) override;
    std::vector<SensorDescription> channelSensors(StreamDirection direction) const override;
    SensorReading readSensor(const std::string& name) override;
    SensorReading readChannelSensor(StreamDirection direction, const std::string& name) override;
    /// @}

    /// @name Several channels of one direction
    /// A bladeRF 2.0 streams channel 0, channel 1 or both of each direction
    /// through the library's X2 layouts (a bladeRF1 has one channel). Two
    /// channels share the stream: its gaps count once each, with their size
    /// in samples per channel, and the library's timestamps count one tick
    /// per pair. The library's own seek to a timestamp misplaces a two-channel
    /// receive stream, so a retune, a rate change or startRxAt reads on and
    /// drops the samples before the point itself, counting them as
    /// discarded. A timed two-channel transmit stream is refused: the
    /// library's burst timestamps run at twice the sample rate.
    /// @{

    std::size_t channelCount(StreamDirection direction) const override;
    bool setStreamChannels(StreamDirection direction, const std::vector<std::size_t>& channels) override;
    std::vector<std::size_t> streamChannels(StreamDirection direction) const override;
    std::size_t readChannelSamples(std::complex<float>* const* buffers, std::size_t count) override;
    std::size_t readNativeChannelSamples(void* const* buffers, std::size_t count) override;
    std::size_t writeChannelSamples(const std::complex<float>* const* buffers, std::size_t count) override;
    std::size_t writeNativeChannelSamples(const void* const* buffers, std::size_t count) override;
    /// Through the library's overall gain of that channel.
    bool setChannelGain(StreamDirection direction, std::size_t channel, double gainDb) override;
    double channelGain(StreamDirection direction, std::size_t channel) const override;
    /// @}

    /// @name Per-channel gain stages and automatic gain
    /// Through libbladeRF's stage and gain-mode calls of that channel.
    /// @{
    bool setChannelGainStage(StreamDirection direction, std::size_t channel, const std::string& stage,
                             double gainDb) override;
    std::optional<double> channelGainStageDb(StreamDirection direction, std::size_t channel,
                                             const std::string& stage) const override;
    bool setChannelAutomaticGain(StreamDirection direction, std::size_t channel, bool enabled) override;
    bool channelAutomaticGain(StreamDirection direction, std::size_t channel) const override;
    /// @}

    /// @name Boards that sample in step
    /// Triggers (BladeRfTrigger.cpp) through libbladeRF's trigger calls on
    /// channel 0 of each direction, signals "J71-4" (a bladeRF1's pin, its
    /// default), "J51-1" (a bladeRF 2.0's, its default), "mini-exp-1"
    /// (whichever of them the board has) and "user-0" to "user-7". An armed
    /// direction's start sets its stream up only once the board reads back
    /// armed and not yet fired; its reads then deliver nothing (each library
    /// read times out) until the fire. triggeredStartTimeNs needs the
    /// library's timestamps on the stream. Reference clocks
    /// (BladeRfReferenceClock.cpp): a bladeRF 2.0 offers "internal" (its
    /// VCTCXO), "external" (the clock input, through the clock select) and
    /// "external-pll" (a 10 MHz-class reference on the clock input the PLL
    /// disciplines the VCTCXO to, its lock read back), and its clock out; a
    /// bladeRF1 "internal", "external-1pps" and "external-10mhz" (its VCTCXO
    /// tamer), without a lock to read. Each needs the library calls behind it.
    /// @{

    bool supportsTrigger(StreamDirection direction) const override;
    std::vector<std::string> triggerSignals(StreamDirection direction) const override;
    bool setTrigger(StreamDirection direction, TriggerRole role, const std::string& signal) override;
    bool armTrigger(StreamDirection direction, bool armed) override;
    bool fireTrigger(StreamDirection direction) override;
    std::optional<TriggerState> triggerState(StreamDirection direction) const override;
    std::optional<std::int64_t> triggeredStartTimeNs() const override;
    std::vector<ClockSourceInfo> clockSources() const override;
    bool setClockSource(const std::string& name, double referenceHz) override;
    std::string clockSource() const override;
    std::optional<bool> clockLocked() const override;
    bool supportsClockOutput() const override;
    bool setClockOutput(bool enabled) override;
    std::optional<bool> clockOutput() const override;
    /// @}

    struct NativeHandle; ///< the open library handle and the quick-tune cache

private:
    bool isOpen() const;
    // Every read: floats into samples[c], or, with samples null, native
    // values into values[c], one buffer per streamed channel.
    std::size_t receive(std::complex<float>* const* samples, std::int16_t* const* values, std::size_t count);
    // Both per-channel writes of a plain stream: floats or native values.
    std::size_t writeChannels(const std::complex<float>* const* samples, const void* const* values, std::size_t count);
    // Whether the direction streams two channels; a single-buffer read or
    // write then keeps why it is refused and answers true.
    bool refusedSingleBuffer(StreamDirection direction);
    // The library channel of a direction's first streamed channel, and of channel `index`.
    int streamChannel(StreamDirection direction) const;
    static int libraryChannel(StreamDirection direction, std::size_t index);
    // The library layout of the direction's chosen channels.
    int streamLayout(StreamDirection direction) const;
    // Enables or disables every streamed channel of a direction, and on
    // enabling hands each the gain kept for it; the first failure's code.
    int enableStreamChannels(StreamDirection direction, bool enable);
    // Counts a gap once: flagged is the library's overrun flag or refusal,
    // lost the samples missing (0 where unknown). Under rxScratchMutex_.
    void countRxGap(bool flagged, std::uint64_t lost);
    // Records a failed stream read or write (time-outs excepted).
    void streamFailed(StreamDirection direction, int code);
    // Hands count SC16 Q11 samples to libbladeRF's transmit stream and counts
    // them; a failure (a time-out from a board that left included) is
    // recorded and gives false.
    bool sendToLibrary(const void* values, std::size_t count, unsigned timeoutMs);
    void clearStreamFailure();
    // The first channel of a direction the board has, or nullopt.
    std::optional<int> channelOf(StreamDirection direction) const;
    // The channel the overall gain, the gain stages and the automatic gain
    // address: the first streamed one.
    std::optional<int> gainChannelOf(StreamDirection direction) const;
    // With deviceMutex_ held: the channel's stages with their ranges, or only
    // the one whose whole name is *only (none when it is not listed).
    std::vector<GainStage> listStages(int channel, const std::string* only) const;
    // With deviceMutex_ held: checks a stage's value for a library channel
    // and, when apply, sets it on its step; false for an unknown stage or a
    // value outside its range.
    bool setStageOf(int channel, const std::string& stage, double gainDb, bool apply) const;
    // With deviceMutex_ held: a stage's gain in force on a library channel.
    std::optional<double> stageDbOf(int channel, const std::string& stage) const;
    // A configuration's gain: in force on the channel configured, kept for the other.
    void keepConfiguredGain(StreamDirection direction, double gainDb);
    // As a channel starts: the gain control, gain and stages kept for it.
    int applyKeptChannelGain(StreamDirection direction, std::size_t channel);
    // The channel the direction-wide gain calls reach (see gainChannelOf).
    bool isChannelOfOverallCalls(StreamDirection direction, std::size_t channel) const;
    bool channelStreams(StreamDirection direction, std::size_t channel) const;
    bool hasChannel(StreamDirection direction, std::size_t channel) const;
    // Drops what a running receive stream holds from before a rate change;
    // called with deviceMutex_ held. False when a plain stream failed to restart.
    bool discardSamplesBeforeNow();
    // Once a stream call said the board is gone (BLADERF_ERR_NODEV), the
    // stream is not entered again until the next start: libbladeRF would
    // restart it on a board that left, where its worker waits for ever for
    // transfers it could not submit, and the stop then cancels that thread.
    bool boardGone() const { return boardGone_.load(std::memory_order_acquire); }
    // Whether a start or configuration of one direction is refused because
    // the other streams: always, unless full duplex is on.
    bool excludedBy(const std::atomic<bool>& otherStreaming) const
    {
        return otherStreaming.load() && !fullDuplex_.load();
    }
    // Whether rateHz for `direction` would move the rate the other direction
    // streams at: only where one clock serves both (a bladeRF 2.0).
    bool rateClashes(StreamDirection direction, double rateHz) const;

    std::unique_ptr<NativeHandle> handle_;
    // Per direction (receive, transmit): the channels the next stream
    // carries, how many (read by the stream calls without a lock), and the
    // gain kept for each channel until it streams (NaN: none).
    std::vector<std::size_t> streamChannels_[2] = {{0}, {0}};
    std::atomic<std::size_t> streamedChannels_[2] = {1, 1};
    std::size_t channelCounts_[2] = {0, 0}; // as the library reported them at open
    static constexpr double kNoGain = std::numeric_limits<double>::quiet_NaN();
    double keptChannelGainDb_[2][2] = {{kNoGain, kNoGain}, {kNoGain, kNoGain}};
    // Stages set on a channel the direction-wide calls do not reach, in the
    // order set, until its overall gain is set again; and the automatic gain
    // asked for such a receive channel (none: it follows the other's).
    std::vector<std::pair<std::string, double>> keptChannelStages_[2][2];
    std::optional<bool> keptChannelAutomaticGain_[2];
    DeviceInfo info_;
    double actualRxSampleRateHz_ = 0.0;
    double rxFrequencyHz_ = 0.0;
    // Mutable: the live-control readers ask the library under it too.
    mutable ControllerFirstMutex deviceMutex_;
    // Counts live rate changes, so that a read in progress ends before it
    // would hand on a sample taken at the old rate.
    std::atomic<std::uint64_t> rxRateChanges_{0};
    std::atomic<bool> rxAutomaticGain_{false};
    // Filter bandwidths in force (0: unknown), receive then transmit.
    std::atomic<double> bandwidthHz_[2] = {0.0, 0.0};
    std::atomic<std::uint64_t> nextRxTimestamp_{0};
    std::atomic<std::uint64_t> fastRxRetuneCount_{0};
    std::atomic<std::uint64_t> regularRxRetuneCount_{0};
    std::atomic<std::uint64_t> failedFastRxRetuneCount_{0};
    std::atomic<std::int32_t> lastFastRxRetuneError_{0};
    std::atomic<bool> rxMetadataEnabled_{false};
    std::vector<std::int16_t> rxScratch_;
    std::atomic<bool> rxStreaming_{false};
    std::atomic<std::uint64_t> rxOverrunCount_{0};
    std::atomic<std::uint64_t> rxLostSamples_{0};
    std::atomic<std::uint64_t> rxDiscardedSamples_{0};
    // The library stream carries timestamps: the timestamped stream, and the
    // plain one wherever the library takes the format (gaps show in them).
    std::atomic<bool> rxLibraryTimestamps_{false};
    // Where the reader's samples stand in device time, kept under
    // rxScratchMutex_: the timestamp the next sample should carry (0: not yet
    // known), and whether the gap before it is counted already (the library
    // flags a gap, or refuses a timestamp as past, before the read after it
    // shows where the samples resume).
    std::uint64_t rxExpectedTimestamp_ = 0;
    bool rxGapCounted_ = false;
    // Whether the last library read timed out: the next one asks the board first.
    std::atomic<bool> rxReadTimedOut_{false};
    // Held by the reader from its library read until it has converted the
    // samples out of rxScratch_, and by startRx/stopRx while they size or
    // empty it, so a stop or restart from the controller thread never pulls
    // the buffer from under a conversion. deviceMutex_ alone would not do: the
    // reader releases it right after the library call, so that retunes wait
    // for library calls only.
    std::mutex rxScratchMutex_;
    std::vector<std::int16_t> txScratch_;
    std::atomic<bool> txStreaming_{false};
    // Held by writeSamples while it fills and sends txScratch_, and by
    // startTx/stopTx while they reserve or empty it, for the same reason as
    // rxScratchMutex_: a stop from another thread must not pull the buffer
    // from under a write. Uncontended unless a stop races a write.
    std::mutex txScratchMutex_;
    bool txConfigured_ = false;
    std::atomic<double> txSampleRateHz_{0.0}; // a live change may come while the writer drains
    // The transmit stream carries timestamps (beside a receive stream that
    // does), and its one burst has begun.
    std::atomic<bool> txTimestamps_{false};
    std::atomic<bool> txBurstOpen_{false};
    // Samples the library took since startTx, and how many of them the last
    // drain saw on the air; their difference is what a drain must flush.
    std::atomic<std::uint64_t> txSamplesQueued_{0};
    std::uint64_t txSamplesDrained_ = 0;
    // The reader and the writer set it, a controller thread reads it.
    mutable std::mutex lastErrorMutex_;
    std::string lastError_;
    detail::StreamEndReasons streamEnds_;
    bool xb200Attached_ = false;
    std::atomic<bool> boardGone_{false};
    std::atomic<bool> fullDuplex_{false};
    // One sample clock for both directions (a bladeRF 2.0's AD9361).
    bool sharedSampleClock_ = false;
    // The bladeRF 2.0's AD9361 registers and bias tees may be asked about.
    bool bladeRf2Parts_ = true;

    // Hardware time: the offset that turns the counter into nanoseconds, and
    // the tick of the first sample of the reader's latest read (+1; 0: none).
    std::atomic<std::int64_t> timeOffsetNs_{0};
    std::atomic<std::uint64_t> lastReadTickPlusOne_{0};
    // Where a timed receive start begins: reads wait for it (0: none).
    std::atomic<std::uint64_t> rxStartTick_{0};
    std::atomic<std::uint64_t> rxStartWaitCounter_{0}; // the counter at the last poll (+1; 0: none)
    // The counter of a direction now, under deviceMutex_; nullopt on failure.
    std::optional<std::uint64_t> counterNow(bool transmit) const;
    std::uint64_t rateOf(bool transmit) const;
    // True (after a short pause) while a timed receive start lies further
    // ahead than a library read should wait; the reader then delivers nothing.
    bool waitingForRxStart();
    // drainTx of a timed stream: ends the open burst and waits until the
    // board's counter has passed the last burst written.
    bool drainTimedTx(std::stop_token stop);
    // Both burst writes: floats from samples, or native values.
    std::size_t writeTimed(const std::complex<float>* samples, const void* values, std::size_t count,
                           TxBurstMarks marks);
    void postTxEvent(const TxEvent& event);
    // Keeps why a hardware-time call refused, for lastError; false.
    bool refuse(const std::string& why);
    // With deviceMutex_ held: whether a bladeRF1 takes automatic gain (tried once per open).
    bool bladeRf1TakesAutomaticGain() const;
    // A timed transmit stream, its open burst (under txScratchMutex_) and the
    // outcomes not yet reported (under txEventsMutex_, fixed rings so that
    // the write path does not allocate).
    std::atomic<bool> txTimed_{false};
    struct TxBurstState {
        bool open = false;
        bool dropped = false; // late: its samples are swallowed up to the end mark
        bool timed = false;   // started at a time, not at once
        std::int64_t requestedNs = 0;
        std::uint64_t startTick = 0;
        std::uint64_t samples = 0;
        bool underrunReported = false;
    };
    TxBurstState txBurst_;
    struct SentBurst {
        std::uint64_t startTick = 0;
        std::uint64_t samples = 0;
    };
    static constexpr std::size_t kTxEventSlots = 256;
    std::mutex txEventsMutex_;
    SentBurst txBurstsInFlight_[kTxEventSlots];
    std::size_t txInFlightFirst_ = 0;
    std::size_t txInFlightCount_ = 0;
    TxEvent txEvents_[kTxEventSlots];
    std::size_t txEventsFirst_ = 0;
    std::size_t txEventsCount_ = 0;
    std::uint64_t txEventsLost_ = 0;
    // Underruns posted since the transmit stream started.
    std::atomic<std::uint64_t> txUnderruns_{0};
    // Each direction's trigger as chosen (role, libbladeRF signal, armed).
    struct TriggerSetting {
        TriggerRole role = TriggerRole::off;
        int signal = -1;
        bool armed = false;
    };
    TriggerSetting triggers_[2];
    // The receive stream was started on a trigger, and the tick of its first
    // sample delivered (+1; 0: none yet).
    std::atomic<bool> rxTriggeredStart_{false};
    std::atomic<std::uint64_t> triggeredStartTickPlusOne_{0};
    std::string clockSource_ = "internal";
    // The direction's trigger for the library, from its setting; false when
    // the library refuses the signal. With deviceMutex_ held.
    bool libraryTrigger(StreamDirection direction, bladerf_trigger& trigger) const;
    bool refuseTrigger(StreamDirection direction, const std::string& why);
    // Called by a start: true when the direction is not armed, or armed and
    // the board reads back as waiting; else false with the reason kept.
    bool readyForTriggeredStart(StreamDirection direction);
    // Each direction's transfer geometry, beside its stream code.
    static StreamLimits rxTransferLimits();
    // Per channel: a two-channel write takes half the samples of each.
    static StreamLimits txTransferLimits(std::size_t channels);
    // The open burst as the event poll sees it: its start tick and the
    // samples written so far, for the underrun check.
    TxBurstState txOpenBurstSeen_;
};

} // namespace veltrano
