// SPDX-License-Identifier: MIT
// Streams: one receive and one transmit stream per device, in CF32 (the
// device layer's float samples), CF64, CS8 or CS16. The board's own format (CS8 on
// HackRF, CS16 holding SC16 Q11 on bladeRF) passes through untouched in both
// directions; the other integer format is mapped exactly in integers, so CS8
// always has full scale 128 and CS16 full scale 2048 (one CS8 step is 16 CS16
// steps). Every sample a read reports was received; every loss the backend
// counts is reported, as SOAPY_SDR_OVERFLOW on receive and as
// SOAPY_SDR_UNDERFLOW through readStreamStatus on transmit.
#include "soapy/SoapyDevice.h"
#include "soapy/SettingText.h"

#include "device/SampleConversion.h"

#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

namespace veltrano::soapy {
namespace {

using Clock = std::chrono::steady_clock;

// Between two empty polls of a non-blocking board call the device is
// released, so a setter from another thread gets in.
constexpr auto kPollPause = std::chrono::milliseconds(1);

enum class SampleFormat { cf32, cf64, cs16, cs8 };

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

// The stream format that carries the board's own samples; CF32 for a board
// without a native format.
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

// Integer samples from one format to the other (or copied when they agree),
// or to CF64.
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

// Sweep blocks come as floats, each a board byte / 128, so scaling by the
// format's full scale gives back exact integers.
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

Clock::time_point deadlineAfter(long timeoutUs)
{
    return Clock::now() + std::chrono::microseconds(std::max(timeoutUs, 0L));
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A board that leaves under both streams names both stops in one text.
bool contains(const std::string& text, const char* words)
{
    return text.find(words) != std::string::npos;
}

} // namespace

struct SoapyDevice::StreamState {
    int direction = SOAPY_SDR_RX;
    SampleFormat format = SampleFormat::cf32;
    // The format of the board's own samples.
    SampleFormat native = SampleFormat::cf32;
    std::size_t mtu = 0;
    // Receive: samples read from the board and not yet handed out, from
    // pendingOffset on, as floats (CF32) or as the board's values (integer
    // formats). Transmit: the client's integer samples in the board's format.
    std::vector<std::complex<float>> samples;
    std::vector<std::int16_t> values; // room for mtu samples of either integer format
    std::size_t pendingOffset = 0;
    std::size_t pendingCount = 0;
    int pendingFlags = 0;          // for the first read that hands pending samples out
    std::uint64_t retunesSeen = 0; // liveRxRetunes_ when the pending samples were read
    // The direction's loss counter when a loss was last reported.
    std::uint64_t lossesReported = 0;
    // rxDiscardedSamples() when the last read was flagged for it.
    std::uint64_t discardsReported = 0;
    // The board's transmit stream starts with the next samples written: at
    // the first write, and after a burst whose end stopped it.
    bool txStartPending = false;
    // Outcome of the last END_BURST, not yet read by readStreamStatus:
    // 0 none, 1 drained, else a SoapySDR error code.
    int burstStatus = 0;
    // Transmit with hardware time: the board's stream carries timestamps
    // (from the first timed write on), a burst is open on it, and the time
    // a timed activation gave the next burst.
    bool timedTx = false;
    bool burstOpen = false;
    std::optional<long long> activationTimeNs;
    // Native sweep: the block being handed out and how much of it went.
    NativeSweepBlock sweepBlock;
    std::size_t sweepOffset = 0;
};

SoapyDevice::~SoapyDevice()
{
    // Streams a client never closed go with the device; the board stops its
    // own streams when it closes.
    delete rx_.stream;
    delete tx_.stream;
}

void SoapyDevice::flagDiscards(StreamState& stream, int& flags) const
{
    const std::uint64_t now = rxDiscardedSamples();
    if (now != stream.discardsReported) {
        stream.discardsReported = now;
        flags |= kDiscardedBeforeFlag;
    }
}

bool SoapyDevice::lossesMoved(StreamState& stream) const
{
    return takeLossReport(stream.direction, stream.lossesReported);
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

SoapySDR::Stream* SoapyDevice::setupStream(int direction, const std::string& format,
                                           const std::vector<size_t>& channels, const SoapySDR::Kwargs& args)
{
    const std::lock_guard lock(boardMutex_);
    if (channels.size() > 1) {
        fail("veltrano: a stream carries one channel");
    }
    checkChannel(direction, channels.empty() ? 0 : channels.front());
    auto stream = std::make_unique<StreamState>();
    if (!formatFromName(format, stream->format)) {
        fail("veltrano: stream format " + format + " is not offered; use CF32, CF64, CS16 or CS8");
    }
    Side& own = side(direction);
    if (own.stream != nullptr) {
        fail("veltrano: the " + std::string(direction == SOAPY_SDR_TX ? "TX" : "RX") + " stream is already set up");
    }
    stream->native = formatOf(board_->nativeSampleFormat());
    if (stream->format != SampleFormat::cf32 && stream->native == SampleFormat::cf32) {
        fail("veltrano: stream format " + format + " needs a board with integer samples; use CF32");
    }
    if (const auto policy = args.find("rx_overflow_policy");
        direction == SOAPY_SDR_RX && offersOverflowPolicy() && policy != args.end()) {
        setOverflowPolicy(policy->second);
    }
    stream->direction = direction;
    stream->mtu = traits_.streamMtu;
    stream->samples.resize(stream->mtu); // staging: CF32 reads, CF64 writes
    if (stream->format != SampleFormat::cf32) {
        stream->values.resize(2 * stream->mtu);
    }
    own.stream = stream.get();
    return reinterpret_cast<SoapySDR::Stream*>(stream.release());
}

void SoapyDevice::closeStream(SoapySDR::Stream* handle)
{
    auto* stream = reinterpret_cast<StreamState*>(handle);
    deactivateStream(handle, 0, 0);
    const std::lock_guard lock(boardMutex_);
    const auto streamLock = alsoStreamPath(stream->direction);
    side(stream->direction).stream = nullptr;
    delete stream;
}

size_t SoapyDevice::getStreamMTU(SoapySDR::Stream* handle) const
{
    return reinterpret_cast<const StreamState*>(handle)->mtu;
}

int SoapyDevice::activateStream(SoapySDR::Stream* handle, int flags, long long timeNs, size_t)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    const std::lock_guard lock(boardMutex_);
    const auto streamLock = alsoStreamPath(stream.direction);
    const bool transmit = stream.direction == SOAPY_SDR_TX;
    Side& own = side(stream.direction);
    if (own.active || own.waiting) {
        return 0;
    }
    const bool timed = (flags & SOAPY_SDR_HAS_TIME) != 0;
    if (timed && !board_->hasHardwareTime()) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: timed stream activation needs hardware time, which this board lacks");
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    // A receive stream activated during a transmit burst waits for its end.
    const bool waitForTx = !transmit && tx_.active && takesTurns();
    if (otherStreams(stream.direction) && !takesTurns()) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the board does not receive and transmit at once; deactivate the "
                                       "other stream first");
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    if (transmit) {
        takeBoardForTx();
    }
    // The other direction may have reprogrammed the board since this one was
    // configured. A transmit stream starts with its first samples, so an
    // idle one sends no silence that would count as underruns.
    bool ready = waitForTx || configure(stream.direction, own.config);
    if (ready && !transmit && !waitForTx) {
        ready = timed && !sweepRequested_ ? board_->startRxAt(timeNs) : startReceiving();
    }
    if (!ready) {
        SoapySDR::log(SOAPY_SDR_ERROR, std::string("veltrano: the board did not start the ") +
                                           (transmit ? "TX" : "RX") + " stream" + boardReason());
        if (transmit) {
            handBoardBackToRx();
        }
        return SOAPY_SDR_STREAM_ERROR;
    }
    (waitForTx ? own.waiting : own.active) = true;
    if (!transmit) {
        rxPushToTalkGaps_ = 0;
        rxPausedMidStream_ = false;
        rxResumeFailed_.store(false, std::memory_order_relaxed);
    }
    stream.pendingCount = 0;
    stream.sweepBlock.samples.clear();
    stream.sweepOffset = 0;
    stream.txStartPending = true;
    stream.burstStatus = 0;
    stream.timedTx = false;
    stream.burstOpen = false;
    stream.activationTimeNs = transmit && timed ? std::optional<long long>(timeNs) : std::nullopt;
    stream.lossesReported = losses(stream.direction);
    rxPendingDiscarded_.store(0, std::memory_order_relaxed);
    stream.discardsReported = 0;
    stream.pendingFlags = 0;
    return 0;
}

int SoapyDevice::deactivateStream(SoapySDR::Stream* handle, int, long long)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    const std::lock_guard lock(boardMutex_);
    const auto streamLock = alsoStreamPath(stream.direction);
    Side& own = side(stream.direction);
    if (!own.active) {
        own.waiting = false;
        return 0;
    }
    if (stream.direction == SOAPY_SDR_TX) {
        board_->stopTx();
    } else {
        board_->stopRx();
    }
    own.active = false;
    stream.pendingCount = 0;
    if (stream.direction == SOAPY_SDR_TX) {
        handBoardBackToRx();
    }
    return 0;
}

int SoapyDevice::readStream(SoapySDR::Stream* handle, void* const* buffs, size_t numElems, int& flags,
                            long long& timeNs, long timeoutUs)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    flags = 0;
    timeNs = 0;
    if (stream.direction != SOAPY_SDR_RX) {
        return SOAPY_SDR_STREAM_ERROR;
    }
    if (!rxActiveWithin(timeoutUs)) {
        return rxResumeFailed_.load(std::memory_order_acquire) ? SOAPY_SDR_STREAM_ERROR : SOAPY_SDR_TIMEOUT;
    }
    if (numElems == 0) {
        return 0;
    }
    if (sweepRequested_) {
        return readSweep(stream, buffs[0], numElems, flags, timeoutUs);
    }
    // The board starts past a retune, but samples read before it are the old
    // frequency's: they are not handed out after it.
    const std::uint64_t retunes = liveRxRetunes_.load(std::memory_order_acquire);
    if (retunes != stream.retunesSeen) {
        stream.retunesSeen = retunes;
        rxPendingDiscarded_.fetch_add(stream.pendingCount, std::memory_order_relaxed);
        stream.pendingCount = 0;
    }
    if (stream.pendingCount == 0) {
        // Large reads in CF32 or the board's own format go straight into the
        // client's buffer, in the whole blocks the backend reads, so nothing
        // it reads is left over.
        const bool floats = stream.format == SampleFormat::cf32;
        const std::size_t direct = std::min(numElems, stream.mtu) / traits_.readGranularity * traits_.readGranularity;
        const bool readDirect = (floats || stream.format == stream.native) && direct > 0;
        void* target = readDirect ? buffs[0]
                       : floats   ? static_cast<void*>(stream.samples.data())
                                  : static_cast<void*>(stream.values.data());
        const std::size_t wanted = readDirect ? direct : stream.mtu;
        const Clock::time_point deadline = deadlineAfter(timeoutUs);
        for (;;) {
            std::size_t received = 0;
            bool paused = false;
            {
                const std::lock_guard lock(rxMutex_);
                if (lossesMoved(stream)) {
                    return SOAPY_SDR_OVERFLOW;
                }
                // A transmit burst took the board: quiet until it comes back.
                paused = !rx_.active;
                if (!paused) {
                    received = floats ? board_->readSamples(static_cast<std::complex<float>*>(target), wanted)
                                      : board_->readNativeSamples(target, wanted);
                }
                if (received == 0 && contains(board_->lastError(), "RX stream stopped")) {
                    SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
                    return SOAPY_SDR_STREAM_ERROR;
                }
            }
            if (readDirect && received > 0) {
                const std::lock_guard lock(rxMutex_);
                if (const std::optional<std::int64_t> time = board_->readTimeNs(0)) {
                    flags |= SOAPY_SDR_HAS_TIME;
                    timeNs = *time;
                }
                flagDiscards(stream, flags);
                return static_cast<int>(received);
            }
            if (received > 0) {
                flagDiscards(stream, stream.pendingFlags);
            }
            if (received > 0) {
                stream.pendingOffset = 0;
                stream.pendingCount = received;
                break;
            }
            if (Clock::now() >= deadline) {
                return SOAPY_SDR_TIMEOUT;
            }
            if (paused) {
                std::this_thread::sleep_for(kPollPause);
            }
        }
    }
    const std::size_t count = std::min(numElems, stream.pendingCount);
    {
        // The pending samples are the board's latest read, from pendingOffset on.
        const std::lock_guard lock(rxMutex_);
        if (const std::optional<std::int64_t> time = board_->readTimeNs(stream.pendingOffset)) {
            flags |= SOAPY_SDR_HAS_TIME;
            timeNs = *time;
        }
    }
    flags |= std::exchange(stream.pendingFlags, 0);
    if (stream.format == SampleFormat::cf32) {
        std::memcpy(buffs[0], stream.samples.data() + stream.pendingOffset, count * sizeof(std::complex<float>));
    } else {
        const auto* values = reinterpret_cast<const std::uint8_t*>(stream.values.data());
        convertValues(stream.native, stream.format, values + stream.pendingOffset * valuesPerSample(stream.native),
                      buffs[0], count);
    }
    stream.pendingOffset += count;
    stream.pendingCount -= count;
    return static_cast<int>(count);
}

bool SoapyDevice::rxActiveWithin(long timeoutUs) const
{
    const Clock::time_point deadline = deadlineAfter(timeoutUs);
    for (;;) {
        {
            const std::lock_guard lock(rxMutex_);
            if (rx_.active) {
                return true;
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollPause);
    }
}

int SoapyDevice::readSweep(StreamState& stream, void* buffer, size_t numElems, int& flags, long timeoutUs)
{
    NativeSweepBlock& block = stream.sweepBlock;
    if (stream.sweepOffset >= block.samples.size()) {
        const Clock::time_point deadline = deadlineAfter(timeoutUs);
        for (;;) {
            {
                const std::lock_guard lock(rxMutex_);
                if (lossesMoved(stream)) {
                    return SOAPY_SDR_OVERFLOW;
                }
                if (board_->readNativeSweepBlock(block)) {
                    stream.sweepOffset = 0;
                    break;
                }
                if (startsWith(board_->lastError(), "native sweep stopped")) {
                    SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
                    return SOAPY_SDR_STREAM_ERROR;
                }
            }
            if (Clock::now() >= deadline) {
                return SOAPY_SDR_TIMEOUT;
            }
            std::this_thread::sleep_for(kPollPause);
        }
    }
    // One block per burst: a read that ends a block says so, one that
    // leaves part of it for the next read says that more follows.
    const std::size_t count = std::min(numElems, block.samples.size() - stream.sweepOffset);
    sweepToClient(stream.format, block.samples.data() + stream.sweepOffset, buffer, count);
    stream.sweepOffset += count;
    flags = stream.sweepOffset == block.samples.size() ? SOAPY_SDR_END_BURST : SOAPY_SDR_MORE_FRAGMENTS;
    return static_cast<int>(count);
}

std::string SoapyDevice::describeSweepBlock(const StreamState& stream)
{
    const NativeSweepBlock& block = stream.sweepBlock;
    if (block.samples.empty()) {
        return {};
    }
    SoapySDR::Kwargs description;
    description["center_hz"] = numberText(block.centerFrequencyHz);
    description["rate_hz"] = numberText(block.sampleRateHz);
    description["sweep_start"] = SoapySDR::SettingToString(block.sweepStart);
    std::string ranges;
    for (const FrequencyRangeHz& range : block.validRanges) {
        ranges += (ranges.empty() ? "" : " ") + numberText(range.minimumHz) + ":" + numberText(range.maximumHz);
    }
    description["valid_hz"] = ranges;
    return SoapySDR::KwargsToString(description);
}

int SoapyDevice::writeStream(SoapySDR::Stream* handle, const void* const* buffs, size_t numElems, int& flags,
                             long long timeNs, long timeoutUs)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    if (stream.direction != SOAPY_SDR_TX || !(tx_.active || tx_.waiting)) {
        return SOAPY_SDR_STREAM_ERROR;
    }
    const std::size_t count = std::min(numElems, stream.mtu);
    // CF32 and the board's own format go to the board from the client's
    // buffer; CF64 is narrowed to CF32, and the other integer format mapped
    // into the board's, first.
    const void* samples = buffs[0];
    const bool floats = stream.format == SampleFormat::cf32 || stream.format == SampleFormat::cf64;
    if (stream.format == SampleFormat::cf64) {
        const auto* in = static_cast<const double*>(buffs[0]);
        auto* out = reinterpret_cast<float*>(stream.samples.data());
        std::transform(in, in + 2 * count, out, [](double value) { return static_cast<float>(value); });
        samples = stream.samples.data();
    } else if (!floats && stream.format != stream.native) {
        convertValues(stream.format, stream.native, buffs[0], stream.values.data(), count);
        samples = stream.values.data();
    }
    // A time, given here or by a timed activation, starts a burst on the
    // board's clock; a stream that carries one stays timed until deactivated.
    std::optional<long long> startTime;
    if ((flags & SOAPY_SDR_HAS_TIME) != 0) {
        startTime = timeNs;
    } else if (stream.activationTimeNs && !stream.burstOpen) {
        startTime = stream.activationTimeNs;
    }
    if (startTime && !board_->hasHardwareTime()) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: a timed burst needs hardware time, which this board lacks");
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    const bool endsBurst = (flags & SOAPY_SDR_END_BURST) != 0 && count == numElems;
    const Clock::time_point deadline = deadlineAfter(timeoutUs);
    std::size_t accepted = 0;
    while (count > 0) {
        {
            const std::lock_guard lock(transmitMutex());
            if (stream.txStartPending) {
                if (tx_.waiting && !resumeTxBurst()) {
                    return SOAPY_SDR_STREAM_ERROR;
                }
                const bool started = startTime ? board_->startTimedTx() : board_->startTx();
                if (!started) {
                    SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the board did not start the TX stream" + boardReason());
                    return SOAPY_SDR_STREAM_ERROR;
                }
                stream.txStartPending = false;
                stream.timedTx = startTime.has_value();
                stream.lossesReported = losses(SOAPY_SDR_TX);
            } else if (startTime && !stream.timedTx && !switchToTimedTx(stream)) {
                return SOAPY_SDR_STREAM_ERROR;
            }
            if (stream.timedTx) {
                TxBurstMarks marks;
                marks.startsBurst = startTime.has_value() || !stream.burstOpen;
                if (startTime) {
                    marks.startTimeNs = *startTime;
                }
                marks.endsBurst = endsBurst;
                if (startTime && stream.burstOpen) {
                    // A new time ends the burst before it where it stands.
                    static_cast<void>(board_->writeNativeBurst(nullptr, 0, TxBurstMarks{false, std::nullopt, true}));
                }
                accepted = floats ? board_->writeBurst(static_cast<const std::complex<float>*>(samples), count, marks)
                                  : board_->writeNativeBurst(samples, count, marks);
                if (accepted > 0) {
                    stream.burstOpen = !(endsBurst && accepted == count);
                    stream.activationTimeNs.reset();
                }
            } else {
                accepted = floats ? board_->writeSamples(static_cast<const std::complex<float>*>(samples), count)
                                  : board_->writeNativeSamples(samples, count);
            }
            // A board that is gone takes nothing ever again: say so, rather
            // than time out for ever.
            if (accepted == 0 && contains(board_->lastError(), "TX stream stopped")) {
                SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
                return SOAPY_SDR_STREAM_ERROR;
            }
        }
        if (accepted > 0) {
            break;
        }
        if (Clock::now() >= deadline) {
            return SOAPY_SDR_TIMEOUT;
        }
        std::this_thread::sleep_for(kPollPause);
    }
    if ((flags & SOAPY_SDR_END_BURST) != 0 && accepted == numElems && !stream.timedTx) {
        const std::lock_guard lock(transmitMutex());
        endBurst(stream);
    }
    return static_cast<int>(accepted);
}

bool SoapyDevice::switchToTimedTx(StreamState& stream)
{
    if (!board_->drainTx(std::stop_token())) {
        SoapySDR::log(SOAPY_SDR_ERROR,
                      "veltrano: the plain TX samples before a timed burst were not seen out" + boardReason());
        return false;
    }
    board_->stopTx();
    if (!board_->startTimedTx()) {
        stream.txStartPending = true;
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the board did not start a timed TX stream" + boardReason());
        return false;
    }
    stream.timedTx = true;
    stream.burstOpen = false;
    return true;
}

bool SoapyDevice::nextBurstStatus(int& status, int& flags, long long& timeNs)
{
    const std::optional<TxEvent> event = board_->nextTxEvent();
    if (!event) {
        return false;
    }
    flags = SOAPY_SDR_HAS_TIME;
    timeNs = event->timeNs;
    switch (event->kind) {
    case TxEvent::Kind::burstSent:
        flags |= SOAPY_SDR_END_BURST;
        status = 0;
        break;
    case TxEvent::Kind::lateBurst:
        status = SOAPY_SDR_TIME_ERROR;
        break;
    case TxEvent::Kind::underrun:
        status = SOAPY_SDR_UNDERFLOW;
        break;
    case TxEvent::Kind::eventsLost:
        flags = 0;
        timeNs = 0;
        status = SOAPY_SDR_STREAM_ERROR;
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + std::to_string(event->samples) +
                                           " TX burst outcomes were lost: none was read for too long");
        break;
    }
    return true;
}

void SoapyDevice::endBurst(StreamState& stream)
{
    if (stream.txStartPending) {
        stream.burstStatus = 1; // nothing was sent since the stream last ended
        return;
    }
    // The burst ends with its last sample on the air, not in a queue.
    if (board_->drainTx(std::stop_token())) {
        stream.burstStatus = 1;
    } else {
        stream.burstStatus = SOAPY_SDR_STREAM_ERROR;
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the end of the TX burst was not confirmed" + boardReason());
    }
    if (traits_.drainEndsTxStream) {
        board_->stopTx();
        stream.txStartPending = true;
        if (takesTurns() && rx_.waiting) { // the board goes back to receive until the next burst
            tx_.active = false;
            tx_.waiting = true;
            handBoardBackToRx();
        }
    }
}

int SoapyDevice::readStreamStatus(SoapySDR::Stream* handle, size_t& chanMask, int& flags, long long& timeNs,
                                  long timeoutUs)
{
    auto& stream = *reinterpret_cast<StreamState*>(handle);
    chanMask = 1;
    flags = 0;
    timeNs = 0;
    if (stream.direction != SOAPY_SDR_TX) {
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    const Clock::time_point deadline = deadlineAfter(timeoutUs);
    for (;;) {
        {
            const std::lock_guard lock(transmitMutex());
            if (stream.burstStatus != 0) {
                const int status = stream.burstStatus;
                stream.burstStatus = 0;
                if (status == 1) {
                    flags = SOAPY_SDR_END_BURST;
                    return 0;
                }
                return status;
            }
            if (int status = 0; tx_.active && stream.timedTx && nextBurstStatus(status, flags, timeNs)) {
                return status;
            }
            if (tx_.active && lossesMoved(stream)) {
                return SOAPY_SDR_UNDERFLOW;
            }
        }
        if (Clock::now() >= deadline) {
            return SOAPY_SDR_TIMEOUT;
        }
        std::this_thread::sleep_for(kPollPause);
    }
}

} // namespace veltrano::soapy
