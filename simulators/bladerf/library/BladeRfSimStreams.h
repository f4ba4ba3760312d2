// SPDX-License-Identifier: MIT
#pragma once

// What the simulated libbladeRF does behind its stream and tuning calls.

#include "bladerf/library/BladeRfSimDevice.h"

#include <optional>

namespace veltrano::sim::bladerf {

// Bit 0 tells transmit from receive in channels, directions and layouts alike.
inline ::bladerf::Stream& streamFor(::bladerf& device, int channelDirectionOrLayout)
{
    return (channelDirectionOrLayout & 1) != 0 ? device.tx : device.rx;
}

// The receiver's scene moves to another frequency from device time `at` on
// (at once when that time has come).
void retuneScene(::bladerf::Stream& stream, bladerf_timestamp at, bladerf_frequency frequency);

// bladerf_sync_rx once the device and the arguments are known to be valid:
// honours the stream format, RX_NOW and explicit timestamps and the scripted
// short reads and overruns. Returns the library result.
int receive(::bladerf& device, std::int16_t* values, unsigned count, bladerf_metadata* metadata,
            const ReceiveRule* rule);

// bladerf_sync_tx once the device and the arguments are known to be valid.
// With timestamps it keeps the library's burst rules (BURST_START, TX_NOW,
// BURST_END, BLADERF_ERR_TIME_PAST for a start before the stream's
// position, the buffer completed with silence at a burst's end) and hands
// the samples to the board's TimedBurstTimeline.
int transmit(::bladerf& device, const std::int16_t* values, unsigned count, bladerf_metadata* metadata);

// The transmit counter: where the board's scheduled samples end (it has
// always sent what it was given), or the stream's position without timestamps.
std::uint64_t transmitCounter(::bladerf& device);

// The quick-tune record for a channel tuned to a frequency, and back: the
// simulator's records carry a marker, the channel's direction and the frequency.
bladerf_quick_tune quickTuneRecord(int channel, bladerf_frequency frequency);
std::optional<bladerf_frequency> quickTuneFrequency(const bladerf_quick_tune& record, int channel);

// Marks a receive call or a retune call as in flight for its lifetime and, on
// entry, journals "overlap <call> <other kind>" when the other kind is in flight
// on the same device: the device layer must never let the two meet.
class ActivityGuard {
public:
    enum class Kind { receive, retune };
    ActivityGuard(::bladerf& device, Kind kind, std::string_view call);
    ~ActivityGuard();
    ActivityGuard(const ActivityGuard&) = delete;
    ActivityGuard& operator=(const ActivityGuard&) = delete;

private:
    std::atomic<int>& mine_;
};

} // namespace veltrano::sim::bladerf
