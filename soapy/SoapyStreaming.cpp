// SPDX-License-Identifier: MIT
// Streams: one receive and one transmit stream per device, set up, started
// and stopped here (reads in SoapyReceiveStream.cpp, writes and their status
// in SoapyTransmitStream.cpp). Every sample a read reports was received;
// every loss the backend counts is reported, as SOAPY_SDR_OVERFLOW on
// receive and as SOAPY_SDR_UNDERFLOW through readStreamStatus on transmit.
#include "soapy/StreamState.h"

#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <memory>

namespace veltrano::soapy {

SoapyDevice::~SoapyDevice()
{
    // Streams a client never closed go with the device; the board stops its
    // own streams when it closes.
    delete rx_.stream;
    delete tx_.stream;
}

bool SoapyDevice::lossesMoved(StreamState& stream) const
{
    return takeLossReport(stream.direction, stream.lossesReported);
}

SoapySDR::Stream* SoapyDevice::setupStream(int direction, const std::string& format,
                                           const std::vector<size_t>& channels, const SoapySDR::Kwargs& args)
{
    const std::lock_guard lock(boardMutex_);
    const char* const name = direction == SOAPY_SDR_TX ? "TX" : "RX";
    // SoapySDR's convention: no channels named means channel 0.
    const std::vector<size_t> chosen = channels.empty() ? std::vector<size_t>{0} : channels;
    for (std::size_t at = 0; at < chosen.size(); ++at) {
        checkChannel(direction, chosen[at]);
        if (std::find(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(at), chosen[at]) !=
            chosen.begin() + static_cast<std::ptrdiff_t>(at)) {
            fail("veltrano: " + std::string(name) + " channel " + std::to_string(chosen[at]) +
                 " is listed twice in the stream's channels");
        }
    }
    auto stream = std::make_unique<StreamState>();
    if (!formatFromName(format, stream->format)) {
        fail("veltrano: stream format " + format + " is not offered; use CF32, CF64, CS16 or CS8");
    }
    Side& own = side(direction);
    if (own.stream != nullptr) {
        fail("veltrano: the " + std::string(name) + " stream is already set up");
    }
    if (chosen.size() > 1 && sweepRequested_ && direction == SOAPY_SDR_RX) {
        fail("veltrano: the native sweep delivers one channel; stream channel 0 alone");
    }
    stream->native = formatOf(board_->nativeSampleFormat());
    if (stream->format != SampleFormat::cf32 && stream->native == SampleFormat::cf32) {
        fail("veltrano: stream format " + format + " needs a board with integer samples; use CF32");
    }
    if (const auto policy = args.find("rx_overflow_policy");
        direction == SOAPY_SDR_RX && board_->supportsRxOverflowPolicy() && policy != args.end()) {
        setOverflowPolicy(policy->second);
    }
    // Last, so that a refusal above leaves the board's channels as they were.
    if (!board_->setStreamChannels(chainOf(direction), chosen)) {
        fail("veltrano: the " + std::string(name) + " stream cannot carry these channels" + boardReason());
    }
    stream->channels = chosen;
    stream->direction = direction;
    // The backend's transfer: a call of that size takes no extra copy.
    const StreamLimits limits = board_->streamLimits(chainOf(direction));
    stream->mtu = std::max<std::size_t>(limits.transferSamples, 1);
    stream->readGranularity = std::max<std::size_t>(limits.readGranularity, 1);
    stream->samples.resize(chosen.size() * stream->mtu); // staging: CF32 reads, CF64 writes
    if (stream->format != SampleFormat::cf32) {
        stream->values.resize(2 * chosen.size() * stream->mtu);
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
    // The next stream carries channel 0 alone unless it says otherwise.
    if (stream->channels.size() != 1 || stream->channels.front() != 0) {
        static_cast<void>(board_->setStreamChannels(chainOf(stream->direction), {0}));
    }
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
    // A receive start may wait for the trigger line; it never runs free instead.
    const bool waitForLine = !transmit && rxWaitsForTrigger(flags);
    if (transmit && (flags & SOAPY_SDR_WAIT_TRIGGER) != 0) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: only a receive stream waits for the trigger");
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    if (waitForLine && timed) {
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: a receive start waits for the trigger or for a time, not both");
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    if (!transmit && !prepareRxTrigger(waitForLine)) {
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
        } else {
            releaseRxTrigger();
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
    stream.burstEnd = BurstEnd::none;
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
        releaseRxTrigger();
    }
    own.active = false;
    stream.pendingCount = 0;
    if (stream.direction == SOAPY_SDR_TX) {
        handBoardBackToRx();
    }
    return 0;
}

} // namespace veltrano::soapy
