// SPDX-License-Identifier: MIT
// What the module's stream files share: the stream formats and their
// conversions, one set-up stream's state, and the one loop that polls a
// board call until it gives a result or the client's time-out passes.
#pragma once

#include "soapy/SoapyDevice.h"

#include <chrono>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltrano::soapy {

enum class SampleFormat { cf32, cf64, cs16, cs8 };

// The format named by a SoapySDR format string; false for one not offered.
bool formatFromName(const std::string& name, SampleFormat& format);
// The stream format that carries the board's own samples; CF32 for a board
// without a native format.
SampleFormat formatOf(NativeSampleFormat native);
// Bytes of one integer sample in CS8 or CS16.
std::size_t valuesPerSample(SampleFormat format);
// Integer samples from one format to the other (or copied when they agree),
// or to CF64.
void convertValues(SampleFormat from, SampleFormat to, const void* in, void* out, std::size_t count);
// Sweep blocks come as floats, each a board byte / 128, so scaling by the
// format's full scale gives back exact integers.
void sweepToClient(SampleFormat format, const std::complex<float>* samples, void* out, std::size_t count);

// Per-channel staging of a stream: where channel index's part of the
// staging buffer begins.
inline std::complex<float>* channelSamples(std::vector<std::complex<float>>& samples, std::size_t mtu,
                                           std::size_t index)
{
    return samples.data() + index * mtu;
}
inline std::int16_t* channelValues(std::vector<std::int16_t>& values, std::size_t mtu, std::size_t index)
{
    return values.data() + 2 * index * mtu;
}

// How the last END_BURST ended, until readStreamStatus reports it.
enum class BurstEnd { none, drained, failed };

struct SoapyDevice::StreamState {
    int direction = SOAPY_SDR_RX;
    SampleFormat format = SampleFormat::cf32;
    // The format of the board's own samples.
    SampleFormat native = SampleFormat::cf32;
    // Channels the stream carries, one client buffer each in this order.
    std::vector<std::size_t> channels{0};
    std::size_t mtu = 0; // samples per channel
    // Receive reads of at least this many samples deliver whole multiples of it.
    std::size_t readGranularity = 1;
    // Receive: samples read from the board and not yet handed out, from
    // pendingOffset on, as floats (CF32) or as the board's values (integer
    // formats). Transmit: the client's integer samples in the board's format.
    // Each channel has mtu samples' room of its own, channel after channel.
    std::vector<std::complex<float>> samples;
    std::vector<std::int16_t> values; // room for mtu samples of either integer format per channel
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
    // Outcome of the last END_BURST, not yet read by readStreamStatus.
    BurstEnd burstEnd = BurstEnd::none;
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

using PollClock = std::chrono::steady_clock;

// Between two empty tries of a board call the device is released, so a
// setter from another thread gets in.
inline constexpr auto kPollPause = std::chrono::milliseconds(1);

inline PollClock::time_point deadlineAfter(long timeoutUs)
{
    return PollClock::now() + std::chrono::microseconds(std::max(timeoutUs, 0L));
}

// One try of a polled call: its result, or none yet. A try whose board call
// itself waited (a read that blocks until samples come) goes again at once;
// any other pauses first.
struct PollTry {
    std::optional<int> result;
    bool waited = false;
};

// Tries until one gives a result, or the deadline passes (nullopt). Every
// try runs at least once, so a time-out of 0 still asks the board.
template <typename Try>
std::optional<int> pollUntil(PollClock::time_point deadline, Try&& attempt)
{
    for (;;) {
        const PollTry outcome = attempt();
        if (outcome.result) {
            return outcome.result;
        }
        if (PollClock::now() >= deadline) {
            return std::nullopt;
        }
        if (!outcome.waited) {
            std::this_thread::sleep_for(kPollPause);
        }
    }
}

} // namespace veltrano::soapy
