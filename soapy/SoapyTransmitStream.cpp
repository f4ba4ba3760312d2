// SPDX-License-Identifier: MIT
// Writes, plain or in timed bursts, and what became of them
// (readStreamStatus): a burst's end, a late burst, an underrun.
#include "soapy/StreamState.h"

#include <SoapySDR/Logger.hpp>

#include <algorithm>
#include <stop_token>
#include <utility>

namespace veltrano::soapy {

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
    const std::size_t channels = stream.channels.size();
    const void* perChannel[2] = {};
    const bool floats = stream.format == SampleFormat::cf32 || stream.format == SampleFormat::cf64;
    for (std::size_t index = 0; index < channels; ++index) {
        perChannel[index] = buffs[index];
        if (stream.format == SampleFormat::cf64) {
            const auto* in = static_cast<const double*>(buffs[index]);
            auto* out = reinterpret_cast<float*>(channelSamples(stream.samples, stream.mtu, index));
            std::transform(in, in + 2 * count, out, [](double value) { return static_cast<float>(value); });
            perChannel[index] = out;
        } else if (!floats && stream.format != stream.native) {
            std::int16_t* out = channelValues(stream.values, stream.mtu, index);
            convertValues(stream.format, stream.native, buffs[index], out, count);
            perChannel[index] = out;
        }
    }
    const void* const samples = perChannel[0];
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
    std::size_t accepted = 0;
    const auto attempt = [&]() -> PollTry {
        const std::lock_guard lock(transmitMutex());
        if (stream.txStartPending) {
            if (tx_.waiting && !resumeTxBurst()) {
                return {SOAPY_SDR_STREAM_ERROR};
            }
            const bool started = startTime ? board_->startTimedTx() : board_->startTx();
            if (!started) {
                SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the board did not start the TX stream" + boardReason());
                return {SOAPY_SDR_STREAM_ERROR};
            }
            stream.txStartPending = false;
            stream.timedTx = startTime.has_value();
            stream.lossesReported = losses(SOAPY_SDR_TX);
        } else if (startTime && !stream.timedTx && !switchToTimedTx(stream)) {
            return {SOAPY_SDR_STREAM_ERROR};
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
        } else if (channels == 1) {
            accepted = floats ? board_->writeSamples(static_cast<const std::complex<float>*>(samples), count)
                              : board_->writeNativeSamples(samples, count);
        } else if (floats) {
            const std::complex<float>* const both[2] = {static_cast<const std::complex<float>*>(perChannel[0]),
                                                        static_cast<const std::complex<float>*>(perChannel[1])};
            accepted = board_->writeChannelSamples(both, count);
        } else {
            accepted = board_->writeNativeChannelSamples(perChannel, count);
        }
        if (accepted > 0) {
            return {static_cast<int>(accepted)};
        }
        // A board that is gone takes nothing ever again: say so, rather
        // than time out for ever.
        if (!board_->streamEnded(StreamDirection::tx).empty()) {
            SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: " + board_->lastError());
            return {SOAPY_SDR_STREAM_ERROR};
        }
        return {};
    };
    // An empty write only ends the burst.
    if (count > 0) {
        const std::optional<int> outcome = pollUntil(deadlineAfter(timeoutUs), attempt);
        if (!outcome) {
            return SOAPY_SDR_TIMEOUT;
        }
        if (*outcome < 0) {
            return *outcome;
        }
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
        stream.burstEnd = BurstEnd::drained; // nothing was sent since the stream last ended
        return;
    }
    // The burst ends with its last sample on the air, not in a queue.
    if (board_->drainTx(std::stop_token())) {
        stream.burstEnd = BurstEnd::drained;
    } else {
        stream.burstEnd = BurstEnd::failed;
        SoapySDR::log(SOAPY_SDR_ERROR, "veltrano: the end of the TX burst was not confirmed" + boardReason());
    }
    if (board_->streamLimits(StreamDirection::tx).drainEndsStream) {
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
    chanMask = 0;
    for (const std::size_t channel : stream.channels) {
        chanMask |= std::size_t{1} << channel;
    }
    flags = 0;
    timeNs = 0;
    if (stream.direction != SOAPY_SDR_TX) {
        return SOAPY_SDR_NOT_SUPPORTED;
    }
    const std::optional<int> outcome = pollUntil(deadlineAfter(timeoutUs), [&]() -> PollTry {
        const std::lock_guard lock(transmitMutex());
        switch (std::exchange(stream.burstEnd, BurstEnd::none)) {
        case BurstEnd::drained:
            flags = SOAPY_SDR_END_BURST;
            return {0};
        case BurstEnd::failed:
            return {SOAPY_SDR_STREAM_ERROR};
        case BurstEnd::none:
            break;
        }
        if (int status = 0; tx_.active && stream.timedTx && nextBurstStatus(status, flags, timeNs)) {
            return {status};
        }
        if (tx_.active && lossesMoved(stream)) {
            return {SOAPY_SDR_UNDERFLOW};
        }
        return {};
    });
    return outcome.value_or(SOAPY_SDR_TIMEOUT);
}

} // namespace veltrano::soapy
