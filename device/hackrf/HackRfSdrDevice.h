// SPDX-License-Identifier: MIT
#pragma once

#include "device/ISdrDevice.h"
#include "device/StreamEndReasons.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

struct hackrf_device;

namespace veltrano {

/// One HackRF board behind ISdrDevice. The board is reached only through the
/// libhackrf table; libhackrf's transfer thread enters the object through the
/// stream callbacks, and meets the client thread only in atomics and in the
/// rings held by atomically replaced shared pointers: no mutex is taken on
/// the stream's path. During a stream a watcher thread of the object's own
/// asks the board for its shortfall counts, so that a read or a write never
/// waits on a board's answer.
class HackRfSdrDevice final : public ISdrDevice {
public:
    /// Opens the board with this serial, or the first board when it is empty.
    /// Throws std::runtime_error when the library is missing or the open fails.
    explicit HackRfSdrDevice(std::string serial);
    /// Stops any stream and closes the board.
    ~HackRfSdrDevice() override;

    /// One object per open board: not copyable.
    HackRfSdrDevice(const HackRfSdrDevice&) = delete;
    /// One object per open board: not assignable.
    HackRfSdrDevice& operator=(const HackRfSdrDevice&) = delete;

    DeviceInfo info() const override;
    std::string lastError() const override;

    bool configureRx(const StreamConfig& config) override;
    double actualRxSampleRateHz() const override;
    std::vector<FrequencyRangeHz> rxFrequencyRanges() const override;
    double maximumRxSampleRateHz() const override;

    bool setRxFrequency(double frequencyHz) override;
    bool supportsRxAmplifier() const override;
    bool setRxAmplifier(bool enabled) override;

    bool startRx() override;
    void stopRx() override;
    std::size_t readSamples(std::complex<float>* samples, std::size_t count) override;

    bool supportsNativeSweep() const override;
    bool configureNativeSweep(const StreamConfig& config, double startHz, double stopHz) override;
    bool startNativeSweep() override;
    bool readNativeSweepBlock(NativeSweepBlock& block) override;
    std::size_t nativeSweepFftSize() const override;
    bool recoverNativeSweep() override;

    std::vector<FrequencyRangeHz> txFrequencyRanges() const override;
    bool configureTx(const StreamConfig& config) override;
    bool startTx() override;
    bool drainTx(std::stop_token stop) override;
    void stopTx() override;
    std::size_t writeSamples(const std::complex<float>* samples, std::size_t count) override;

    /// Signed 8-bit I/Q, the bytes libhackrf moves.
    NativeSampleFormat nativeSampleFormat() const override;
    std::size_t readNativeSamples(void* samples, std::size_t count) override;
    std::size_t writeNativeSamples(const void* samples, std::size_t count) override;

    // Live control (HackRfLiveControl.cpp). Receive: LNA 0-40 dB in 8 dB
    // steps, VGA 0-62 in 2 dB steps, AMP 0 or 14; transmit: VGA 0-47 in 1 dB
    // steps, AMP 0 or 14. The overall gain fills the LNA and the VGA (or the
    // transmit VGA) and leaves the amplifier alone. The board has one
    // amplifier switch, one sample clock and one filter for both chains, so a
    // chain is refused these changes while the other one streams. The
    // antenna port's power is one switch that both directions show.
    std::vector<GainStage> gainStages(StreamDirection direction) const override;
    std::optional<GainStage> overallGainRange(StreamDirection direction) const override;
    bool setGainStage(StreamDirection direction, const std::string& stage, double gainDb) override;
    std::optional<double> gainStageDb(StreamDirection direction, const std::string& stage) const override;
    bool setGain(StreamDirection direction, double gainDb) override;
    std::optional<double> gainDb(StreamDirection direction) const override;
    bool setSampleRate(StreamDirection direction, double rateHz) override;
    std::vector<FrequencyRangeHz> bandwidthRangesHz(StreamDirection direction) const override;
    bool setBandwidth(StreamDirection direction, double bandwidthHz) override;
    std::optional<double> bandwidthHz(StreamDirection direction) const override;
    bool supportsBiasTee(StreamDirection direction) const override;
    bool setBiasTee(StreamDirection direction, bool enabled) override;
    bool biasTee(StreamDirection direction) const override;

    /// Versions from the library's own calls, each left out where the loaded
    /// library lacks it; the firmware version is the one read at open.
    BoardIdentity boardIdentity() const override;
    /// "clock_in", where the library and the board's firmware (USB API
    /// 0x0106 on) can tell whether a clock comes in on CLKIN.
    std::vector<SensorDescription> sensors() const override;
    SensorReading readSensor(const std::string& name) override;

    /// Opera Cake antenna switches (HackRfOperaCake.cpp). The board's
    /// antenna port is cabled to an Opera Cake's common port A; each of its
    /// eight ports is an antenna of both chains ("A1".."B4", with "@<address>"
    /// after it when more than one board is stacked), and choosing one
    /// connects port B to the same number on the other side. Without an
    /// Opera Cake, or with a library that cannot ask, there are none.
    std::vector<std::string> antennas(StreamDirection direction) const override;
    std::string antenna(StreamDirection direction) const override;
    bool setAntenna(StreamDirection direction, const std::string& name) override;
    /// Whole MHz, at most eight ranges, all on one board, none overlapping;
    /// the board compares the whole MHz of every frequency it tunes to, and
    /// one outside every range takes the last range's port.
    bool setAntennaPlan(const std::vector<AntennaRange>& plan) override;
    std::vector<AntennaRange> antennaPlan() const override;
    std::vector<std::string> accessories() const override;

    /// Firmware version text read at open; empty when the library cannot read it.
    std::string firmwareVersion() const;
    /// The board's USB API version (for example 0x0102); 0 when unknown.
    std::uint16_t usbApiVersion() const;

    /// Closes the board and opens it again by the same serial, stopping any
    /// stream first. False, with lastError() set, when it stays closed.
    bool reopenDevice();

    /// Losses and stream state (HackRfSdrDevice.cpp): the counters below in
    /// one record; 2 to 20 MS/s, one 131,072-sample transfer, and a drained
    /// transmit ends its stream. A full receive ring drops the newest bytes;
    /// keepFresh then skips to the newest ones at the next read. The overrun
    /// and underrun limits are the directions' board loss limits.
    StreamLosses streamLosses() const override;
    std::string streamEnded(StreamDirection direction) const override;
    StreamLimits streamLimits(StreamDirection direction) const override;
    bool supportsRxOverflowPolicy() const override;
    bool setRxOverflowPolicy(RxOverflowPolicy policy) override;
    RxOverflowPolicy rxOverflowPolicy() const override;
    bool setBoardLossLimit(StreamDirection direction, std::uint32_t bytes) override;
    std::optional<std::uint32_t> boardLossLimit(StreamDirection direction) const override;
    /// The receive ring's policies, under the name the backend has always used.
    using OverflowPolicy = RxOverflowPolicy;

    /// Losses, each counted since its stream's start (zero before any start).
    /// Received bytes not stored because the receive ring was full, counted
    /// when they are dropped.
    std::uint64_t rxDroppedBytes() const;
    /// Ring overflows the reader has got to: a read ends where bytes were
    /// dropped, and the next one returns 0 samples after this count moved,
    /// so a loss is seen in its place in the stream. With keepFresh, the
    /// reader reaches every loss at once and skips what was stored before it.
    std::uint64_t rxOverflowsReached() const;
    /// The dropped bytes of the overflows reached so far.
    std::uint64_t rxOverflowBytesReached() const;
    /// Stored bytes a keepFresh reader skipped to get to the newest ones.
    std::uint64_t rxSkippedBytes() const;
    /// Samples thrown away after a retune or a live rate change (the ring's
    /// old contents and the settling samples that follow), never handed out.
    std::uint64_t rxDiscardedSamples() const;
    /// The board's own count of receive shortfalls in the running or last
    /// receive stream: times its USB side had no transfer to fill when
    /// samples were due (the host fell behind), and the longest such run in
    /// bytes. Read from the board while receiving (see HackRfBoardCounters.cpp);
    /// absent where the library or the board (USB API below 0x0106) cannot tell.
    std::optional<std::uint64_t> rxBoardShortfalls() const;
    /// The longest of those shortfalls, in bytes the board could not keep.
    std::optional<std::uint64_t> rxBoardLongestShortfallBytes() const;
    /// A shortfall this long (bytes; 0: none) makes the board give its receive
    /// stream up, which then ends with "RX stream stopped: ..." in lastError().
    /// Applied by the next configureRx. False, with lastError() set, when the
    /// library or the board cannot limit.
    bool setRxOverrunLimit(std::uint32_t bytes);
    /// The limit the next configureRx applies, in bytes (0: none).
    std::uint32_t rxOverrunLimit() const;
    /// Marked sweep blocks not queued because the sweep queue was full.
    std::uint64_t sweepDroppedBlocks() const;
    /// Zero bytes sent in place of samples because the transmit ring ran dry
    /// while streaming (not counted once the stream is draining).
    std::uint64_t txUnderrunBytes() const;
    /// The board's own count of transmit underruns in the running or last
    /// transmit stream: times its USB side had no transfer to send when
    /// samples were due (the host's USB stack or event thread fell behind;
    /// a ring that runs dry is txUnderrunBytes, the board gets silence in
    /// time), and the longest in bytes of zeros it sent. Read from the
    /// board by writeSamples and stopTx; absent as rxBoardShortfalls is.
    std::optional<std::uint64_t> txBoardUnderruns() const;
    /// The longest of those underruns, in bytes.
    std::optional<std::uint64_t> txBoardLongestUnderrunBytes() const;
    /// An underrun this long (bytes; 0: none) makes the board give its
    /// transmit stream up, which then ends with "TX stream stopped: ..." in
    /// lastError() (writeSamples and drainTx fail). Applied by the next
    /// configureTx. False, with lastError() set, when the library or the
    /// board cannot limit.
    bool setTxUnderrunLimit(std::uint32_t bytes);
    /// The limit the next configureTx applies, in bytes (0: none).
    std::uint32_t txUnderrunLimit() const;

    /// @name Hardware time
    /// A HackRF does not count its samples: every timed call refuses, with
    /// the reason in lastError().
    /// @{

    std::optional<std::int64_t> hardwareTimeNs() override;
    bool setHardwareTimeNs(std::int64_t timeNs) override;
    bool startRxAt(std::int64_t timeNs) override;
    bool startTimedTx() override;
    std::size_t writeBurst(const std::complex<float>* samples, std::size_t count, const TxBurstMarks& marks) override;
    std::size_t writeNativeBurst(const void* samples, std::size_t count, const TxBurstMarks& marks) override;
    /// @}

    /// @name Hardware sync and clocks (HackRfHardwareSync.cpp)
    /// A slave waits at its start for a pulse on its sync input (P28 pin 16)
    /// before it moves a sample; the master is the board whose sync output
    /// (P28 pin 15) is cabled to the slaves, and its start is the pulse: a
    /// HackRF cannot pulse the line by command, so fireTrigger only confirms
    /// that the master has started. An armed start is confirmed from the
    /// board's core state and refused (stopped) when the board did not wait.
    /// The clock comes from CLKIN whenever a reference is there: "external"
    /// expects one, "internal" that there is none.
    /// @{
    bool supportsTrigger(StreamDirection direction) const override;
    std::vector<std::string> triggerSignals(StreamDirection direction) const override;
    bool setTrigger(StreamDirection direction, TriggerRole role, const std::string& signal) override;
    bool armTrigger(StreamDirection direction, bool armed) override;
    bool fireTrigger(StreamDirection direction) override;
    std::optional<TriggerState> triggerState(StreamDirection direction) const override;
    std::vector<ClockSourceInfo> clockSources() const override;
    bool setClockSource(const std::string& name, double referenceHz) override;
    std::string clockSource() const override;
    std::optional<bool> clockLocked() const override;
    bool supportsClockOutput() const override;
    bool setClockOutput(bool enabled) override;
    std::optional<bool> clockOutput() const override;
    /// @}

    /// The open libhackrf handle, for the backend's own source files.
    struct NativeHandle {
        hackrf_device* device = nullptr; ///< null while the board is closed
    };
    struct RawBuffer;   ///< byte ring shared with the transfer thread
    struct SweepBuffer; ///< sweep block queue shared with the transfer thread
    struct StageLimits; ///< one gain stage's name, range and step

private:
    // Text of the last failure. A reader thread may report a dead stream while
    // a controller thread retunes, so the text is replaced as a whole with the
    // atomic shared-pointer load and store: no torn text, and nothing on the
    // sample path waits for it.
    class ErrorText {
    public:
        void set(std::string text) { std::atomic_store(&text_, std::make_shared<const std::string>(std::move(text))); }
        void clear() { std::atomic_store(&text_, std::shared_ptr<const std::string>()); }
        std::string get() const
        {
            const std::shared_ptr<const std::string> text = std::atomic_load(&text_);
            return text ? *text : std::string();
        }

    private:
        std::shared_ptr<const std::string> text_;
    };

    bool isOpen() const;
    // A stream ended by itself: the reason is the last error and the direction's end.
    void streamStopped(StreamDirection direction, std::string reason);
    void readBoardVersions();
    // Board shortfalls, one direction's (HackRfBoardCounters.cpp): the counts
    // as last read, negative while unknown; the limit the next configuration
    // applies; the watcher that asks the board during a stream, and the
    // reason it found when the board gave the stream up for its limit.
    struct BoardShortfalls {
        std::atomic<std::int64_t> count{-1};
        std::atomic<std::int64_t> longestBytes{-1};
        std::atomic<std::uint32_t> limit{0};
        std::atomic<bool> gaveUp{false};
        std::mutex reasonMutex; // the reason, written once per stream by the watcher
        std::string reason;
        std::mutex watcherMutex; // start and stop of the watcher, from control calls
        std::jthread watcher;
    };
    BoardShortfalls& boardShortfalls(StreamDirection direction);
    const BoardShortfalls& boardShortfalls(StreamDirection direction) const;
    // Lists the Opera Cakes stacked on the board (at open).
    void findOperaCakes();
    // Whether the library and the board keep the shortfall state.
    bool boardKeepsShortfalls() const;
    bool setBoardLimit(StreamDirection direction, std::uint32_t bytes);
    // Sends the direction's limit where the library and the board take one;
    // false, with the last error set, when the board refuses it.
    bool applyBoardLimit(StreamDirection direction);
    // Reads the board's shortfall state into the direction's counters:
    // nothing when the board did not answer; else the reason when it has
    // given the direction's stream up for its limit, or an empty text.
    std::optional<std::string> askBoardShortfalls(StreamDirection direction);
    // The stream's watcher: started once the library streams, it asks the
    // board every poll interval while the stream's ring moves (and, with a
    // limit set, while it stands still), on a thread of its own, so that no
    // read or write ever waits for a board that fell silent.
    void startBoardWatcher(StreamDirection direction);
    // Stops and joins it; a request it has sent waits for the board first.
    void stopBoardWatcher(StreamDirection direction);
    void watchBoard(StreamDirection direction, const std::stop_token& stop);
    // The reason the watcher found, once: empty until the board gave up.
    std::string takeBoardStop(StreamDirection direction);
    // Counts from zero for a new stream, or unknown where the board cannot tell.
    void startBoardShortfalls(StreamDirection direction);
    // For a libhackrf call of a configuration sequence: false on success;
    // otherwise records "<step>: <library text>" as the last error and is true.
    bool stepFailed(const char* step, int result);

    // Receive (HackRfReceive.cpp).
    struct RxGains {
        std::uint32_t lnaDb;
        std::uint32_t vgaDb;
    };
    // An overall receive gain as the LNA and VGA gains that make it up.
    static RxGains splitGain(double gainDb);
    // Keeps the split of the gain as the one the next configuration sends.
    void holdRxGain(double gainDb);
    bool applyRxConfiguration(const StreamConfig& config);
    // Samples already received belong to the board's previous tuning or rate:
    // a running stream drops them and the settling bytes after them, an idle
    // one just empties its ring.
    void discardReceivedSamples();
    // Live control (HackRfLiveControl.cpp).
    // False, with the last error set, when the chain cannot be changed now.
    bool chainChangeable(StreamDirection direction);
    bool applyStage(StreamDirection direction, const StageLimits& stage, std::uint32_t gainDb);
    // Sends a filter the library already computed and keeps it as the one in force.
    bool sendBasebandFilter(StreamDirection direction, std::uint32_t filterHz);
    // libhackrf sets its own filter every time it sets the sample rate: a
    // filter the caller chose for this chain goes back on after it.
    bool restoreFilterAfterRate(StreamDirection direction, double rateHz);
    static int receiveCallback(void* transfer);
    int receive(void* transfer);
    // Both reads: waits for received bytes as readSamples is documented to,
    // then hands up to 2 * count of them to take(slot, bytes, offset) where
    // they lie in the ring; returns the samples taken.
    template <typename Take>
    std::size_t receiveInPlace(std::size_t count, Take take);
    // Counts the overflows the reader's position has got to; true if any.
    bool passReachedGaps(RawBuffer& ring);
    // Sweep (HackRfSweep.cpp).
    void takeSweepTransfer(const std::uint8_t* buffer, std::size_t validBytes);
    // Transmit (HackRfTransmit.cpp).
    static int transmitCallback(void* transfer);
    static void transmitFlushCallback(void* context, int success);
    int transmit(void* transfer);
    // Both writes: queues up to count samples through fill(slot, bytes,
    // offset), which writes them straight into the ring; returns the samples taken.
    template <typename Fill>
    std::size_t transmitInPlace(std::size_t count, Fill fill);
    // The callback's body; a non-zero result ends the stream.
    int fillTransfer(void* transfer);
    // True, with the last error set, when libhackrf reports the transmit
    // stream gone although our callback never ended it (a failed transfer,
    // an unplugged board): no flush will ever come for it.
    bool txStreamDied();
    // True, with the last error set, once the board has given the transmit
    // stream up for its underrun limit (asked as HackRfBoardCounters.cpp
    // describes; the client thread's alone).
    bool txBoardGaveUp();

    std::unique_ptr<NativeHandle> handle_ = std::make_unique<NativeHandle>();
    DeviceInfo info_;
    // Settings in force. A controller thread may change them while the
    // client reads or writes, so each is an atomic of its own.
    std::atomic<double> actualRxSampleRateHz_{0.0};
    double rxFrequencyHz_ = 0.0;
    ErrorText lastError_;
    std::string firmwareVersion_;
    std::uint16_t usbApiVersion_ = 0;
    std::atomic<std::uint32_t> lnaGainDb_{0};
    std::atomic<std::uint32_t> vgaGainDb_{0};
    std::atomic<bool> rxAmplifierEnabled_{false};
    // Baseband filters in force. The receive one is the library's pick at
    // the rate unless the caller chose one (rxChosenFilterHz_, 0 for none);
    // the transmit one is always chosen, by its configuration or live.
    std::atomic<std::uint32_t> rxFilterHz_{0};
    std::atomic<std::uint32_t> rxChosenFilterHz_{0};
    std::atomic<std::uint32_t> txFilterHz_{0};
    std::atomic<bool> txAmplifierEnabled_{false};
    std::atomic<bool> antennaPowerEnabled_{false};
    // The rings are read and replaced only with std::atomic_load / std::atomic_store.
    std::shared_ptr<RawBuffer> rxBuffer_;
    std::shared_ptr<SweepBuffer> sweepBuffer_;
    // Ring position below which received bytes are thrown away after a retune
    // (the retune's clear point plus the settling bytes). A position rather
    // than a count, so that a retune from another thread and a reader's
    // discarding can never both account for the same bytes.
    std::atomic<std::uint64_t> rxDiscardUntil_{0};
    std::atomic<bool> rxStreaming_{false};
    std::shared_ptr<RawBuffer> txBuffer_;
    std::atomic<bool> txStreaming_{false};
    std::atomic<bool> txDraining_{false};
    // Set by the transmit callback when it ends the stream itself.
    std::atomic<bool> txEndedByCallback_{false};
    std::atomic<std::int32_t> txFlushStatus_{0};
    bool txFlushEnabled_ = false;
    bool txConfigured_ = false;
    std::atomic<std::uint32_t> txVgaGainDb_{0};
    bool sweepConfigured_ = false;
    std::atomic<bool> sweepActive_{false};
    std::uint64_t sweepStartHz_ = 0;
    StreamConfig sweepConfig_{2'440'000'000.0, 2'000'000.0, 1'500'000.0, 20.0};
    double sweepSampleRateHz_ = 20'000'000.0;
    double sweepStepWidthHz_ = 20'000'000.0;
    double sweepOffsetHz_ = 7'500'000.0;
    double sweepRangeStartHz_ = 0.0;
    double sweepRangeStopHz_ = 0.0;
    std::atomic<std::uint64_t> rxDroppedBytes_{0};
    std::atomic<std::uint64_t> rxOverflowsReached_{0};
    std::atomic<std::uint64_t> rxGapBytesReached_{0};
    std::atomic<std::uint64_t> rxSkippedBytes_{0};
    std::atomic<std::uint64_t> rxDiscardedBytes_{0};
    std::atomic<OverflowPolicy> rxOverflowPolicy_{OverflowPolicy::keepOldest};
    std::atomic<std::uint64_t> sweepDroppedBlocks_{0};
    BoardShortfalls rxBoard_;
    BoardShortfalls txBoard_;
    std::atomic<bool> txBoardGaveUp_{false};
    std::atomic<std::uint64_t> txUnderruns_{0};
    std::atomic<std::uint64_t> txUnderrunBytes_{0};
    detail::StreamEndReasons streamEnds_;
    // Hardware sync (HackRfHardwareSync.cpp), one per direction (receive
    // first): the role chosen and whether the next start waits (or pulses).
    struct SyncSetting {
        TriggerRole role = TriggerRole::off;
        bool armed = false;
    };
    SyncSetting sync_[2];
    std::string clockSource_ = "internal";
    std::optional<bool> clockOutput_; // as last set; the board cannot be asked
    // The sync mode last sent; unknown (taken as the power-on off) before any arm.
    std::optional<bool> boardSyncMode_;
    bool refuseSync(StreamDirection direction, const std::string& why);
    // After the library started an armed slave's stream: true once the
    // board's core shows it waits for the pulse; otherwise the last error
    // says why and the caller stops the stream.
    bool confirmWaitingForPulse(StreamDirection direction);
    bool armedSlave(StreamDirection direction) const;
    // Before a start: the board's sync mode as the direction wants it (on
    // only for an armed slave). False, with the last error set, on a refusal.
    bool syncModeForStart(StreamDirection direction);
    // Reads the clock-in status: 1 while a reference comes in on CLKIN.
    std::optional<bool> clockInPresent() const;

    // Opera Cakes: the addresses found at open, the port chosen last (the
    // firmware's A1 of the first board until then) and the frequency plan
    // in force with the board it switches. Controller thread only.
    std::vector<std::uint8_t> operaCakes_;
    std::string antenna_;
    std::vector<AntennaRange> antennaPlan_;
    std::uint8_t antennaPlanAddress_ = 0;
};

} // namespace veltrano
