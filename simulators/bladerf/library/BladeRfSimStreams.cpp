// SPDX-License-Identifier: MIT
#include "bladerf/library/BladeRfSimStreams.h"

#include "bladerf/model/BladeRfReceivePattern.h"
#include "bladerf/model/BladeRfTransmit.h"
#include "common/SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace veltrano::sim::bladerf {
namespace {

constexpr unsigned char kQuickTuneMarker = 'Q';
// Marker, direction, then the frequency's eight bytes.
constexpr std::size_t kQuickTuneBytes = 2 + sizeof(bladerf_frequency);
static_assert(sizeof(bladerf_quick_tune) >= kQuickTuneBytes, "the record holds the frequency");

// Samples past a short read's count: a value the pattern never produces, so a
// device layer that hands them on is caught.
constexpr std::int16_t kUndelivered = kNotInPattern;

// Moves the stream's scene from its timestamp to `end`, writing the samples
// from `first` on to values (those before `first` are skipped) and retuning at
// each scheduled timestamp on the way.
void renderScene(::bladerf::Stream& stream, std::int16_t* values, bladerf_timestamp first, bladerf_timestamp end)
{
    SceneSynthesizer& scene = *stream.scene;
    bladerf_timestamp time = stream.timestamp;
    while (time < end) {
        auto& retunes = stream.scheduledRetunes;
        while (!retunes.empty() && retunes.begin()->first <= time) {
            stream.heardFrequency = retunes.begin()->second;
            retunes.erase(retunes.begin());
        }
        const Tuning tuning{static_cast<double>(stream.heardFrequency), static_cast<double>(stream.sampleRate),
                            static_cast<double>(::bladerf::stageSum(stream.stageGains))};
        if (!(tuning == scene.tuning())) {
            scene.tune(tuning);
        }
        bladerf_timestamp next = retunes.empty() ? end : std::min(end, retunes.begin()->first);
        if (time < first) {
            next = std::min(next, first);
            scene.skip(next - time);
        } else {
            scene.renderSc16(values + 2 * (time - first), static_cast<std::size_t>(next - time));
        }
        time = next;
    }
}

} // namespace

void retuneScene(::bladerf::Stream& stream, bladerf_timestamp at, bladerf_frequency frequency)
{
    if (at <= stream.timestamp) {
        stream.heardFrequency = frequency;
    } else {
        stream.scheduledRetunes.insert_or_assign(at, frequency);
    }
}

namespace {

// Writes count samples from device time `first` on (the scene's or the
// pattern) and moves the stream to the sample after them.
void produce(::bladerf::Stream& stream, std::int16_t* values, bladerf_timestamp first, unsigned count)
{
    const Script& script = simulator().script();
    if (script.receivePattern && stream.scene) {
        renderScene(stream, values, first, first + count);
    } else if (script.receivePattern) {
        fillReceivePattern(values, first, count);
    }
    stream.timestamp = first + count;
}

// A paced reader further behind the board than the library's buffers hold
// (never less than the backlog the pacer hands out) finds a gap: libbladeRF
// keeps the buffers it filled and drops what the board makes while they stay
// full, up to the moment a read frees one.
void noteOverflow(::bladerf::Stream& stream)
{
    if (stream.gap || stream.bufferCount == 0) {
        return;
    }
    const double rate = static_cast<double>(stream.sampleRate);
    const auto backlog =
        static_cast<std::uint64_t>(std::chrono::duration<double>(SamplePacer::longestBacklog()).count() * rate);
    // With timestamps every 512-sample slot of a buffer starts with a header
    // in place of 4 samples.
    // A buffer of a two-channel stream holds pairs: half as many timestamps.
    const std::uint64_t perBuffer =
        (stream.format == BLADERF_FORMAT_SC16_Q11 ? stream.bufferSize : stream.bufferSize / 512 * 508) /
        (stream.layout == BLADERF_RX_X2 ? 2 : 1);
    const std::uint64_t held = std::max(std::uint64_t{stream.bufferCount} * perBuffer, backlog);
    const std::uint64_t late = stream.pacer.lateSamples(SamplePacer::Clock::now(), rate);
    if (late > held) {
        stream.gap = ::bladerf::Stream::Gap{stream.timestamp + held, stream.timestamp + late};
    }
}

} // namespace

namespace {

int receiveChannel0(::bladerf& device, std::int16_t* values, unsigned count, bladerf_metadata* metadata,
                    const ReceiveRule* rule);

} // namespace

int receive(::bladerf& device, std::int16_t* values, unsigned count, bladerf_metadata* metadata,
            const ReceiveRule* rule)
{
    ::bladerf::Stream& stream = device.rx;
    const bool two = stream.layout == BLADERF_RX_X2;
    // libbladeRF takes an odd count with two channels and splits a pair; the
    // simulator refuses it, so a device layer that passes one is caught.
    if (two && count % 2 != 0) {
        simulator().log(JournalLine("odd-count bladerf_sync_rx") << count);
        return BLADERF_ERR_INVAL;
    }
    // Everything below counts in timestamps, one per pair with two channels.
    ReceiveRule pairs;
    if (two && rule != nullptr) {
        pairs = *rule;
        if (pairs.actualCount) {
            *pairs.actualCount /= 2;
        }
        rule = &pairs;
    }
    const int result = receiveChannel0(device, values, two ? count / 2 : count, metadata, rule);
    if (result != 0) {
        return result;
    }
    if (two) {
        spreadToTwoChannels(values, count / 2);
        if (metadata != nullptr) {
            metadata->actual_count *= 2;
        }
    } else if (stream.channelEnabled[1] && !stream.channelEnabled[0]) {
        exchangeIq(values, count);
    }
    return 0;
}

namespace {

int receiveChannel0(::bladerf& device, std::int16_t* values, unsigned count, bladerf_metadata* metadata,
                    const ReceiveRule* rule)
{
    const Script& script = simulator().script();
    ::bladerf::Stream& stream = device.rx;
    const bool timestamped = stream.format != BLADERF_FORMAT_SC16_Q11;
    if (!stream.configured || !stream.enabled || (timestamped && metadata == nullptr)) {
        return BLADERF_ERR_INVAL;
    }
    const bladerf_timestamp before = stream.timestamp;
    if (script.receivePaced) {
        noteOverflow(stream);
    }
    if (!stream.gap && stream.scriptedGapsTaken < script.rxGaps.size()) {
        const auto& scripted = script.rxGaps[stream.scriptedGapsTaken++];
        stream.gap = ::bladerf::Stream::Gap{scripted.at, scripted.resume};
    }
    auto& gap = stream.gap;
    std::optional<bladerf_timestamp> resumed; // where this read passed a gap
    if (gap && gap->at <= stream.timestamp) {
        // The gap comes before this read's first sample: the library just
        // hands out what follows it (with timestamps the jump shows).
        resumed = stream.timestamp = gap->resume;
        gap.reset();
    }
    bladerf_timestamp first = stream.timestamp;
    if (timestamped && (metadata->flags & BLADERF_META_FLAG_RX_NOW) == 0) {
        if (metadata->timestamp < stream.timestamp) {
            return BLADERF_ERR_TIME_PAST;
        }
        if (gap && metadata->timestamp >= gap->at) {
            const bool dropped = metadata->timestamp < gap->resume;
            resumed = stream.timestamp = gap->resume;
            gap.reset();
            if (dropped) {
                return BLADERF_ERR_TIME_PAST;
            }
        }
        first = metadata->timestamp; // the samples before it are skipped
    }
    // Samples a short read did not deliver are still there for the next read.
    unsigned delivered = rule != nullptr && rule->actualCount ? std::min(*rule->actualCount, count) : count;
    bool overrun = rule != nullptr && rule->overrun;
    // A gap within the read: with timestamps the read ends at it and says so,
    // as libbladeRF does; without, the samples after it follow unmarked.
    unsigned beforeGap = delivered;
    if (gap && gap->at < first + delivered) {
        beforeGap = static_cast<unsigned>(gap->at - first);
        if (timestamped) {
            delivered = beforeGap;
            overrun = true;
        }
    }
    produce(stream, values, first, beforeGap);
    if (gap && stream.timestamp >= gap->at) {
        resumed = gap->resume;
        gap.reset();
        produce(stream, values + 2 * static_cast<std::size_t>(beforeGap), *resumed, delivered - beforeGap);
    }
    if (script.receivePattern) {
        std::fill(values + 2 * static_cast<std::size_t>(delivered), values + 2 * static_cast<std::size_t>(count),
                  kUndelivered);
    }
    if (timestamped) {
        metadata->timestamp = first;
        metadata->status = overrun ? BLADERF_META_STATUS_OVERRUN : 0;
        metadata->actual_count = delivered;
    }
    if (script.receivePaced && resumed) {
        // The board is where the gap ends: what follows comes at its pace from now on.
        stream.pacer.restart();
        SamplePacer::sleepUntil(stream.pacer.dueAfter(stream.timestamp - *resumed, stream.sampleRate));
    } else if (script.receivePaced && !gap) {
        // Skipped samples took their time on the board too. (Before a gap the
        // library's full buffers are there at once.)
        SamplePacer::sleepUntil(stream.pacer.dueAfter(stream.timestamp - before, stream.sampleRate));
    }
    if (script.receivePaceMicroseconds != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(script.receivePaceMicroseconds));
    }
    return 0;
}

void capture(const ::bladerf::Stream& stream, const std::int16_t* values, std::size_t count)
{
    if (const auto& capture = simulator().transmitCapture()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(values);
        if (stream.layout == BLADERF_TX_X2) {
            appendToChannelCaptures(*capture, bytes, count / 2);
        } else {
            appendToCapture(*capture, bytes, 4 * count);
        }
    }
}

int transmitTimed(::bladerf& device, const std::int16_t* values, unsigned count, bladerf_metadata* metadata)
{
    ::bladerf::Stream& stream = device.tx;
    if (metadata == nullptr) {
        return BLADERF_ERR_INVAL;
    }
    const std::uint32_t flags = metadata->flags;
    const bool now = (flags & BLADERF_META_FLAG_TX_NOW) != 0;
    const std::lock_guard lock(device.txMutex);
    if ((flags & BLADERF_META_FLAG_TX_BURST_START) != 0) {
        if (stream.inBurst) {
            return BLADERF_ERR_INVAL;
        }
        if (!now && metadata->timestamp < stream.timestamp) {
            return BLADERF_ERR_TIME_PAST;
        }
        stream.inBurst = true;
        stream.burstNow = now;
        if (!now) {
            stream.timestamp = metadata->timestamp;
        }
    } else if (now || ((flags & BLADERF_META_FLAG_TX_BURST_END) != 0 && !stream.inBurst)) {
        return BLADERF_ERR_INVAL;
    }
    metadata->status = 0;
    capture(stream, values, count);
    device.txTimeline.take(stream.burstNow ? 0 : stream.timestamp, count,
                           soundEnd(reinterpret_cast<const unsigned char*>(values), count),
                           device.txTimeline.scheduledEnd());
    stream.timestamp += count;
    // Every 512-sample slot of a buffer carries a header in place of 4 samples.
    const std::uint64_t perBuffer = std::max(1u, stream.bufferSize / 512) * 508;
    stream.bufferFill = (stream.bufferFill + count) % perBuffer;
    if ((flags & BLADERF_META_FLAG_TX_BURST_END) != 0) {
        if (stream.bufferFill != 0) {
            const std::uint64_t silence = perBuffer - stream.bufferFill;
            device.txTimeline.take(stream.burstNow ? 0 : stream.timestamp, silence, 0,
                                   device.txTimeline.scheduledEnd());
            stream.timestamp += silence;
        }
        stream.bufferFill = 0;
        stream.inBurst = false;
        stream.burstNow = false;
    }
    return 0;
}

} // namespace

int transmit(::bladerf& device, const std::int16_t* values, unsigned count, bladerf_metadata* metadata)
{
    ::bladerf::Stream& stream = device.tx;
    if (!stream.configured || !stream.enabled) {
        return BLADERF_ERR_INVAL;
    }
    const bool two = stream.layout == BLADERF_TX_X2;
    if (two && count % 2 != 0) {
        simulator().log(JournalLine("odd-count bladerf_sync_tx") << count);
        return BLADERF_ERR_INVAL;
    }
    if (stream.format != BLADERF_FORMAT_SC16_Q11) {
        return transmitTimed(device, values, count, metadata);
    }
    capture(stream, values, count);
    stream.timestamp += two ? count / 2 : count;
    return 0;
}

std::uint64_t transmitCounter(::bladerf& device)
{
    if (device.tx.format == BLADERF_FORMAT_SC16_Q11) {
        return device.tx.timestamp;
    }
    const std::lock_guard lock(device.txMutex);
    return device.txTimeline.scheduledEnd();
}

bladerf_quick_tune quickTuneRecord(int channel, bladerf_frequency frequency)
{
    bladerf_quick_tune record{};
    unsigned char bytes[kQuickTuneBytes] = {kQuickTuneMarker, static_cast<unsigned char>(channel & 1)};
    std::memcpy(bytes + 2, &frequency, sizeof frequency);
    std::memcpy(&record, bytes, sizeof bytes);
    return record;
}

std::optional<bladerf_frequency> quickTuneFrequency(const bladerf_quick_tune& record, int channel)
{
    unsigned char bytes[kQuickTuneBytes];
    std::memcpy(bytes, &record, sizeof bytes);
    if (bytes[0] != kQuickTuneMarker || bytes[1] != (channel & 1)) {
        return std::nullopt;
    }
    bladerf_frequency frequency = 0;
    std::memcpy(&frequency, bytes + 2, sizeof frequency);
    return frequency;
}

ActivityGuard::ActivityGuard(::bladerf& device, Kind kind, std::string_view call)
    : mine_(kind == Kind::receive ? device.receiving : device.retuning)
{
    const std::atomic<int>& other = kind == Kind::receive ? device.retuning : device.receiving;
    mine_.fetch_add(1, std::memory_order_relaxed);
    if (other.load(std::memory_order_relaxed) != 0) {
        simulator().log(JournalLine("overlap") << call << (kind == Kind::receive ? "retune" : "receive"));
    }
}

ActivityGuard::~ActivityGuard()
{
    mine_.fetch_sub(1, std::memory_order_relaxed);
}

} // namespace veltrano::sim::bladerf
