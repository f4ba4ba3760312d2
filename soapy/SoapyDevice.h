// SPDX-License-Identifier: MIT
// One veltrano board as a SoapySDR device: SoapySDR's device calls mapped
// onto ISdrDevice. Each board has one receive and one transmit channel, a
// bladeRF 2.0 two of each (one stream may carry both; one buffer a channel,
// one oscillator and one rate a direction). A bladeRF streams both
// directions at once (full duplex, switched on at open); a HackRF hands the
// board from one to the other by itself (push-to-talk, SoapyPushToTalk.cpp).
//
// The device keeps the settings the client asked for, per direction, and
// hands them to the board whole (configureRx / configureTx) while the
// direction is idle: at once, so a refusal is reported where it was asked
// for. While the direction streams, a gain (overall or by stage), the rate,
// the bandwidth and a receive frequency go to the running board through its
// live calls, and the stream goes on. Activating a stream applies the
// settings again, as the other direction may have reprogrammed the board;
// stage gains set by name since the overall gain was last set go on top.
//
// SoapySDR clients may call from several threads (a reader and a GUI, say).
// Control calls and queries serialise on one mutex per device; reads hold the
// receive path's own mutex instead, so a reader that reads back to back never
// holds a control call up: the device layer takes live changes beside a read
// in progress.
#pragma once

#include "device/ISdrDevice.h"
#include "soapy/BoardFamily.h"

#include <SoapySDR/Device.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::soapy {

// A receive read's flag beside SoapySDR's own: samples were discarded (after
// a retune or a live rate change) before this read's first sample, so a
// client that counts samples to keep time adds rx_discarded_samples' change.
inline constexpr int kDiscardedBeforeFlag = 1 << 16;

// The device layer's chain for a SoapySDR direction.
inline StreamDirection chainOf(int direction)
{
    return direction == SOAPY_SDR_TX ? StreamDirection::tx : StreamDirection::rx;
}

class SoapyDevice final : public SoapySDR::Device {
public:
    SoapyDevice(BoardFamily family, std::unique_ptr<ISdrDevice> board);
    ~SoapyDevice() override;

    // ---- Identification and channels -----------------------------------------
    std::string getDriverKey() const override;
    std::string getHardwareKey() const override;
    SoapySDR::Kwargs getHardwareInfo() const override;
    size_t getNumChannels(int direction) const override;
    bool getFullDuplex(int direction, size_t channel) const override;

    // ---- Streams (SoapyStreaming.cpp, SoapyReceiveStream.cpp, SoapyTransmitStream.cpp)
    std::vector<std::string> getStreamFormats(int direction, size_t channel) const override;
    std::string getNativeStreamFormat(int direction, size_t channel, double& fullScale) const override;
    SoapySDR::Stream* setupStream(int direction, const std::string& format, const std::vector<size_t>& channels,
                                  const SoapySDR::Kwargs& args) override;
    void closeStream(SoapySDR::Stream* stream) override;
    size_t getStreamMTU(SoapySDR::Stream* stream) const override;
    int activateStream(SoapySDR::Stream* stream, int flags, long long timeNs, size_t numElems) override;
    int deactivateStream(SoapySDR::Stream* stream, int flags, long long timeNs) override;
    int readStream(SoapySDR::Stream* stream, void* const* buffs, size_t numElems, int& flags, long long& timeNs,
                   long timeoutUs) override;
    int writeStream(SoapySDR::Stream* stream, const void* const* buffs, size_t numElems, int& flags, long long timeNs,
                    long timeoutUs) override;
    int readStreamStatus(SoapySDR::Stream* stream, size_t& chanMask, int& flags, long long& timeNs,
                         long timeoutUs) override;

    // ---- Hardware time: the board's sample counter (SoapyHardwareTime.cpp) ----
    // One time base, "" or "hardware"; a board without one has none.
    bool hasHardwareTime(const std::string& what) const override;
    long long getHardwareTime(const std::string& what) const override;
    void setHardwareTime(long long timeNs, const std::string& what) override;

    // ---- Clocks and time sources (SoapyClocks.cpp) ------------------------------
    // The board's clock sources by the device layer's names; the reference
    // rate is what "external-pll" multiplies up (10 MHz until set). Time
    // sources: "internal", the board's counter, and where the board has a
    // trigger, "trigger": every receive activation then waits for the line,
    // so that the boards on it count from one tick.
    std::vector<std::string> listClockSources() const override;
    void setClockSource(const std::string& source) override;
    std::string getClockSource() const override;
    void setReferenceClockRate(double rate) override;
    double getReferenceClockRate() const override;
    SoapySDR::RangeList getReferenceClockRates() const override;
    std::vector<std::string> listTimeSources() const override;
    void setTimeSource(const std::string& source) override;
    std::string getTimeSource() const override;

    // ---- Gain: overall and by stage, automatic mode (SoapyGain.cpp) --------------
    std::vector<std::string> listGains(int direction, size_t channel) const override;
    bool hasGainMode(int direction, size_t channel) const override;
    void setGainMode(int direction, size_t channel, bool automatic) override;
    bool getGainMode(int direction, size_t channel) const override;
    void setGain(int direction, size_t channel, double value) override;
    void setGain(int direction, size_t channel, const std::string& name, double value) override;
    double getGain(int direction, size_t channel) const override;
    double getGain(int direction, size_t channel, const std::string& name) const override;
    SoapySDR::Range getGainRange(int direction, size_t channel) const override;
    SoapySDR::Range getGainRange(int direction, size_t channel, const std::string& name) const override;

    // ---- Antennas: the board's own or an antenna switch's ports (SoapyAntennas.cpp)
    std::vector<std::string> listAntennas(int direction, size_t channel) const override;
    void setAntenna(int direction, size_t channel, const std::string& name) override;
    std::string getAntenna(int direction, size_t channel) const override;

    // ---- Frequency: one "RF" element; "BB" accepted and ignored ----------------
    void setFrequency(int direction, size_t channel, double frequency, const SoapySDR::Kwargs& args) override;
    void setFrequency(int direction, size_t channel, const std::string& name, double frequency,
                      const SoapySDR::Kwargs& args) override;
    double getFrequency(int direction, size_t channel) const override;
    double getFrequency(int direction, size_t channel, const std::string& name) const override;
    std::vector<std::string> listFrequencies(int direction, size_t channel) const override;
    SoapySDR::RangeList getFrequencyRange(int direction, size_t channel) const override;
    SoapySDR::RangeList getFrequencyRange(int direction, size_t channel, const std::string& name) const override;

    // ---- Sample rate and bandwidth -------------------------------------------
    void setSampleRate(int direction, size_t channel, double rate) override;
    double getSampleRate(int direction, size_t channel) const override;
    // The usual rates within the range, for clients that offer a menu.
    std::vector<double> listSampleRates(int direction, size_t channel) const override;
    SoapySDR::RangeList getSampleRateRange(int direction, size_t channel) const override;
    void setBandwidth(int direction, size_t channel, double bandwidth) override;
    double getBandwidth(int direction, size_t channel) const override;
    // The board's filter widths, or the usual ones within its range.
    std::vector<double> listBandwidths(int direction, size_t channel) const override;
    SoapySDR::RangeList getBandwidthRange(int direction, size_t channel) const override;

    // ---- Sensors: the board's and its chains' (SoapySensors.cpp) -------------
    std::vector<std::string> listSensors() const override;
    SoapySDR::ArgInfo getSensorInfo(const std::string& key) const override;
    std::string readSensor(const std::string& key) const override;
    std::vector<std::string> listSensors(int direction, size_t channel) const override;
    SoapySDR::ArgInfo getSensorInfo(int direction, size_t channel, const std::string& key) const override;
    std::string readSensor(int direction, size_t channel, const std::string& key) const override;

    // ---- Settings: amplifier, native sweep, fast retune, counters (SoapySettings.cpp)
    SoapySDR::ArgInfoList getSettingInfo() const override;
    void writeSetting(const std::string& key, const std::string& value) override;
    std::string readSetting(const std::string& key) const override;
    // Writes every writable setting the device arguments name (make's
    // arguments); throws as writeSetting does.
    void applySettingArguments(const SoapySDR::Kwargs& args);

    struct StreamState; // one set-up stream (StreamState.h)

private:
    // What the client asked for in one direction, and its stream if set up.
    struct Side {
        StreamConfig config;
        // Stage gains set by name since the overall gain was last set, in order.
        std::vector<std::pair<std::string, double>> stageGains;
        // What was set on a channel the overall calls do not reach, by channel,
        // for the board to get again over each configuration.
        struct ChannelGain {
            std::optional<double> gainDb;
            std::vector<std::pair<std::string, double>> stageGains; // since gainDb, in order
            std::optional<bool> automatic;
        };
        std::map<std::size_t, ChannelGain> channelGains;
        bool automaticGain = false;
        StreamState* stream = nullptr;
        bool active = false; // the board streams this direction
        // Activated by the client while the board serves the other direction
        // (push-to-talk): the stream starts when the board comes back to it.
        bool waiting = false;
    };

    // Throws (and logs) unless the direction has a channel and channel is 0.
    void checkChannel(int direction, size_t channel) const;
    Side& side(int direction);
    const Side& side(int direction) const;
    // Hands a whole configuration to the board, then the direction's stage
    // gains and automatic gain; false with the board's reason. Receive also
    // re-prepares the hop set or the native sweep.
    bool configure(int direction, const StreamConfig& config);
    // The other direction streams on a board that then takes no settings
    // for this one (one not in full duplex).
    bool otherStreams(int direction) const;
    // Replaces the direction's settings, applying them now when nothing
    // streams; throws (and logs) when the board refuses or the direction streams.
    // valid, when given, names the values the setting takes in a refusal.
    void reconfigure(int direction, const char* what, const StreamConfig& wanted, const std::string& valid = "");
    // One field of the direction's settings: through the board's live call
    // while the direction streams (true), else as reconfigure does (false).
    // A setting a configuration may leave alone (a HackRF's receive filter)
    // goes through the live call whenever the board is free to take it.
    // A value that is not a finite number is refused with the valid ones named.
    using LiveCall = bool (ISdrDevice::*)(StreamDirection, double);
    bool change(int direction, size_t channel, double StreamConfig::*field, double value, const char* what,
                LiveCall live, const std::string& valid, bool liveWhenIdle = false);
    // Whether the direction's overall calls (gain, stages, automatic gain)
    // reach this channel: the first of the channels set up to stream, channel
    // 0 when none are. The other channel of a two-channel stream is set
    // through the board's per-channel calls.
    bool addressedByOverallCalls(int direction, size_t channel) const;
    // The stage of the direction by name; throws naming the stages there are.
    GainStage stageNamed(int direction, const std::string& name) const;
    // "a to b" of the ranges (or "a, b, ..." of single values), with the unit.
    std::string validText(const SoapySDR::RangeList& ranges, const char* unit) const;
    SoapySDR::RangeList bandwidthRanges(int direction) const;
    SoapySDR::RangeList sampleRateRanges() const;
    SoapySDR::Range getGainRangeLocked(int direction) const;
    // Keys writeSetting takes on this board.
    std::vector<std::string> writableSettings() const;
    // getSettingInfo's list, with boardMutex_ held.
    SoapySDR::ArgInfoList settingInfo() const;
    // The hw_sync setting (SoapyHardwareSync.cpp), with boardMutex_ held:
    // listed on a HackRF whose library has the sync calls; the write is
    // false for another key.
    bool offersHardwareSync() const;
    // Whether the board has a bladeRF's trigger line for the trigger settings.
    bool offersTriggerLine() const;
    std::optional<SoapySDR::ArgInfo> hardwareSyncInfo() const;
    bool writeHardwareSync(const std::string& key, const std::string& value);
    std::string readHardwareSync() const;
    double requested(int direction, size_t channel, double StreamConfig::*field) const;
    // The description of the sensor by key among these; throws naming where it was looked for.
    SoapySDR::ArgInfo sensorInfo(const std::vector<SensorDescription>& sensors, const std::string& key,
                                 const char* where) const;
    // A reading as SoapySDR's text ("true"/"false" for a boolean); throws with the board's reason.
    std::string sensorText(const SensorDescription* sensor, const SensorReading& reading, const std::string& key) const;
    // Logs an error and throws it, so C and Python callers get an error code.
    [[noreturn]] void fail(const std::string& message) const;
    std::string boardReason() const;
    // The antenna plan setting (SoapyAntennas.cpp), with boardMutex_ held:
    // offered where the board has antennas to switch between.
    bool offersAntennaPlan() const;
    void writeAntennaPlan(const std::string& value);
    std::string antennaPlanText() const;

    // Whether the receive stream is active, waiting up to timeoutUs for it:
    // a stream set up but not yet active delivers nothing, like a board that
    // sent nothing, so a reader that starts at once (SoapyRemote's server
    // does) sees time-outs rather than an error.
    bool rxActiveWithin(long timeoutUs) const;
    // One board read of up to count samples per channel into the stream's
    // channels' buffers, in its format (CF32, or the board's values).
    std::size_t readBoard(StreamState& stream, void* const* targets, std::size_t count);
    int readSweep(StreamState& stream, void* buffer, size_t numElems, int& flags, long timeoutUs);
    // Sees the queued transmit samples out and records the outcome for readStreamStatus.
    void endBurst(StreamState& stream);
    // Under the transmit path's lock: makes the running transmit stream a timed one (the
    // plain samples seen out first); false, logged, when the board cannot.
    bool switchToTimedTx(StreamState& stream);
    // Under the transmit path's lock: the next burst outcome as readStreamStatus reports
    // it; false when there is none.
    bool nextBurstStatus(int& status, int& flags, long long& timeNs);
    // Centre, rate, pass start and usable ranges of the stream's current sweep block.
    static std::string describeSweepBlock(const StreamState& stream);
    // The backend's loss counters, each counted since its stream started.
    struct LossCounter {
        const char* setting; // read-only setting that shows it
        int direction;
        std::uint64_t count;
        // Shown, not reported as an overflow: the size of the losses another
        // counter reports, or samples a retune discards.
        bool sizeOnly = false;
        // The board cannot tell: the setting reads empty, and nothing is reported.
        bool unknown = false;
        // Read from the board only now and then, so that several may arrive
        // at once: each still gets a report of its own.
        bool reportEach = false;
    };
    std::vector<LossCounter> lossCounters() const;
    LossCounter lossCounter(const LossSetting& shown, const StreamLosses& losses) const;
    // Samples discarded at retunes since the stream started: the first read
    // after a discard carries kDiscardedBeforeFlag.
    std::uint64_t rxDiscardedSamples() const;
    // The receive overflow policy (keep_oldest, keep_fresh), where the board
    // lets it be chosen.
    void setOverflowPolicy(const std::string& policy);
    // The board's receive overrun or transmit underrun limit in
    // bytes, as decimal text; the key names it in a refusal.
    void setBoardLimit(int direction, const std::string& key, const std::string& bytes);
    std::string boardLimit(int direction) const;
    std::string overflowPolicy() const;
    // All losses of one direction's stream so far; reportEach, when given,
    // gets the part of them that its counters' reportEach covers.
    std::uint64_t losses(int direction, std::uint64_t* reportEach = nullptr) const;
    // True once for every change of the stream's losses since the last report.
    bool lossesMoved(StreamState& stream) const;
    // The same on the stream's count of losses reported: true, and the count
    // moved on, for a change since then; each new loss of a reportEach
    // counter is a change of its own.
    bool takeLossReport(int direction, std::uint64_t& reported) const;
    // Sets kDiscardedBeforeFlag in flags if samples were discarded since the
    // stream's last flagged read.
    void flagDiscards(StreamState& stream, int& flags) const;
    // Starts the receiver as configured: continuous samples or the native sweep.
    bool startReceiving();

    // Starting in step (SoapyTrigger.cpp, SoapyClocks.cpp), with boardMutex_
    // held: the receive trigger and the clock out as settings, the trigger
    // armed or disarmed for a receive start, and the PLL lock as a sensor.
    void appendSyncSettingInfo(SoapySDR::ArgInfoList& settings) const;
    void appendSyncSettingKeys(std::vector<std::string>& keys) const;
    // False when the key is none of them.
    bool writeSyncSetting(const std::string& key, const std::string& value);
    std::optional<std::string> readSyncSetting(const std::string& key) const;
    // Arms the receive trigger for a start that waits for the line (a board
    // without a role takes the slave's for it), or disarms it so that the
    // start is free-running; false, logged, when the board cannot.
    bool prepareRxTrigger(bool waitForLine);
    // After the receive stream stopped: a role taken for the start is given back.
    void releaseRxTrigger();
    // Whether the receive start waits for the line: the flag or the time source.
    bool rxWaitsForTrigger(int flags) const;
    bool offersReferenceLock() const;
    std::string referenceLockText() const;

    // Push-to-talk (SoapyPushToTalk.cpp), with boardMutex_ held. Whether the
    // board takes turns between the directions instead of refusing the second.
    bool takesTurns() const;
    // A transmit burst takes the board: a running receive stream pauses
    // (after the read in progress, as the receive path's lock is taken too).
    void takeBoardForTx();
    // The transmit stream stopped: a paused or waiting receive stream starts
    // again at its own settings.
    void handBoardBackToRx();
    // The transmit stream between bursts: its next write takes the board
    // again; false when the board refuses the TX settings.
    bool resumeTxBurst();

    const BoardFamily family_;
    bool hardwareSync_ = false; // hw_sync as last written
    const FamilyTraits& traits_;
    std::unique_ptr<ISdrDevice> board_;
    mutable std::mutex boardMutex_;
    // The receive path (reads, the sweep reader) holds rxMutex_ instead of
    // boardMutex_, as a read may wait for samples up to its time-out.
    // Activating, deactivating, pausing, resuming or closing the receive
    // stream holds both, boardMutex_ first; the reader never takes boardMutex_.
    mutable std::mutex rxMutex_;
    // Under full duplex the transmit path (writes, a burst's end, its status)
    // holds txMutex_ instead of boardMutex_, so that a write waiting for the
    // board's buffers, or a drain, never stalls a control call; activating,
    // deactivating or closing the transmit stream holds both, boardMutex_
    // first. Without full duplex the transmit path holds boardMutex_.
    mutable std::mutex txMutex_;
    std::mutex& transmitMutex() const { return board_->fullDuplex() ? txMutex_ : boardMutex_; }
    // With boardMutex_ held: the direction's stream path lock, where it has one.
    std::unique_lock<std::mutex> alsoStreamPath(int direction) const
    {
        if (direction == SOAPY_SDR_RX) {
            return std::unique_lock(rxMutex_);
        }
        return board_->fullDuplex() ? std::unique_lock(txMutex_) : std::unique_lock<std::mutex>();
    }
    Side rx_;
    Side tx_;
    // Live receive retunes (and push-to-talk pauses) so far: a reader drops
    // the samples it read before one, which belong to the old frequency (or
    // to the time before the burst).
    std::atomic<std::uint64_t> liveRxRetunes_{0};
    // Samples a reader had read and dropped at such a retune, beside those the
    // board discards itself.
    std::atomic<std::uint64_t> rxPendingDiscarded_{0};
    // Per direction, the reportEach losses reported so far; the direction's
    // stream lock guards it.
    mutable std::uint64_t eachLossReported_[2] = {0, 0};
    // Hop set for fast retuning; prepared again whenever the receiver is
    // configured, because a configuration empties the board's cache.
    std::vector<double> hopFrequenciesHz_;
    // Expansion boards the client attached, by name, with the mode it gave.
    std::map<std::string, std::string> attachedAccessories_;
    // Native sweep requested through the settings: the receive stream then
    // delivers sweep blocks instead of continuous samples.
    bool sweepRequested_ = false;
    double sweepStartHz_ = 0.0;
    double sweepStopHz_ = 0.0;
    // Push-to-talk: whether the waiting receive stream was running when a
    // burst paused it; the gaps so far, each one reported as an overflow; and
    // whether the board failed to come back to receive, which a reader then
    // hears as a stream error.
    bool rxPausedMidStream_ = false;
    std::uint64_t rxPushToTalkGaps_ = 0;
    std::atomic<bool> rxResumeFailed_{false};
    // The receive trigger as the client chose it ("" for the board's own
    // pin), and whether the role in force was taken for a waiting start.
    TriggerRole rxTriggerRole_ = TriggerRole::off;
    std::string rxTriggerSignal_;
    bool rxTriggerRoleBorrowed_ = false;
    double referenceClockHz_ = 10e6;
    std::string timeSource_ = "internal";
};

} // namespace veltrano::soapy
