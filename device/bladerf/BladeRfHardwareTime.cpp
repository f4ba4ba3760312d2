// SPDX-License-Identifier: MIT
// Hardware time of BladeRfSdrDevice: the board's sample counters as a clock
// (read, and set by an offset), stamped reads and timed receive starts. The
// timed transmit stream is in BladeRfTimedTransmit.cpp.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfTime.h"

#include <chrono>
#include <thread>

namespace veltrano {
namespace {

// A timed receive start further ahead than this is waited for outside the
// library, whose read would otherwise hold the device until then.
constexpr std::uint64_t kRxStartLeadMs = 50;
constexpr auto kRxStartPoll = std::chrono::milliseconds(20);

} // namespace

bool BladeRfSdrDevice::refuse(const std::string& why)
{
    const std::lock_guard lock(lastErrorMutex_);
    lastError_ = why;
    return false;
}

bool BladeRfSdrDevice::hasHardwareTime() const
{
    return isOpen() && bladeRfApi().getTimestamp != nullptr;
}

std::uint64_t BladeRfSdrDevice::rateOf(bool transmit) const
{
    return static_cast<std::uint64_t>(transmit ? txSampleRateHz_.load() : actualRxSampleRateHz_);
}

std::optional<std::uint64_t> BladeRfSdrDevice::counterNow(bool transmit) const
{
    if (!hasHardwareTime()) {
        return std::nullopt;
    }
    bladerf_timestamp now = 0;
    const std::lock_guard lock(deviceMutex_);
    if (bladeRfApi().getTimestamp(handle_->device, transmit ? BLADERF_TX : BLADERF_RX, &now) != 0) {
        return std::nullopt;
    }
    return now;
}

std::optional<std::int64_t> BladeRfSdrDevice::hardwareTimeNs()
{
    // The receive counter once a receiver is configured; the transmit one before.
    const bool transmit = rateOf(false) == 0;
    const std::optional<std::uint64_t> counter = counterNow(transmit);
    if (!counter || rateOf(transmit) == 0) {
        refuse("hardware time: the board's counter cannot be read before a rate is set");
        return std::nullopt;
    }
    return detail::nanosecondsOfTick(*counter, rateOf(transmit), timeOffsetNs_.load());
}

bool BladeRfSdrDevice::setHardwareTimeNs(std::int64_t timeNs)
{
    const bool transmit = rateOf(false) == 0;
    const std::optional<std::uint64_t> counter = counterNow(transmit);
    if (!counter || rateOf(transmit) == 0) {
        return refuse("hardware time: the board's counter cannot be read before a rate is set");
    }
    const std::optional<std::int64_t> counted = detail::nanosecondsOfTick(*counter, rateOf(transmit), 0);
    const detail::WideInt offset = detail::WideInt{timeNs} - counted.value_or(0);
    if (!counted || offset > std::numeric_limits<std::int64_t>::max() ||
        offset < std::numeric_limits<std::int64_t>::min()) {
        return refuse("hardware time: the time is out of range");
    }
    timeOffsetNs_.store(static_cast<std::int64_t>(offset));
    return true;
}

std::optional<std::int64_t> BladeRfSdrDevice::readTimeNs(std::size_t index) const
{
    const std::uint64_t tickPlusOne = lastReadTickPlusOne_.load(std::memory_order_relaxed);
    if (tickPlusOne == 0) {
        return std::nullopt;
    }
    return detail::nanosecondsOfTick(tickPlusOne - 1 + index, rateOf(false), timeOffsetNs_.load());
}

bool BladeRfSdrDevice::startRxAt(std::int64_t timeNs)
{
    if (!hasHardwareTime() || rateOf(false) == 0 || rxStreaming_.load()) {
        return refuse("timed RX start: the board has no hardware time, no receive rate, or streams already");
    }
    const std::optional<std::uint64_t> tick = detail::tickOfNanoseconds(timeNs, rateOf(false), timeOffsetNs_.load());
    if (!tick) {
        return refuse("timed RX start: the time lies beyond the board's counter");
    }
    const std::optional<std::uint64_t> counter = counterNow(false);
    if (!counter || *tick == 0 || *tick < *counter) {
        return refuse("timed RX start: the time has passed");
    }
    if (!startRx()) {
        return false;
    }
    if (!rxLibraryTimestamps_.load()) {
        stopRx();
        return refuse("timed RX start: the library does not stream timestamps");
    }
    rxStartWaitCounter_.store(0);
    rxStartTick_.store(*tick);
    nextRxTimestamp_.store(*tick);
    return true;
}

// Called by receive before it takes the point to read from: true while a
// timed start lies further ahead than the library should wait for. A
// counter that stands still between two polls belongs to a board that counts
// only what is read from it: there the library's read itself moves time on.
bool BladeRfSdrDevice::waitingForRxStart()
{
    const std::uint64_t start = rxStartTick_.load();
    if (start == 0) {
        return false;
    }
    const std::optional<std::uint64_t> counter = counterNow(false);
    const std::uint64_t lead = rateOf(false) * kRxStartLeadMs / 1000;
    const std::uint64_t previous = rxStartWaitCounter_.exchange(counter.value_or(0) + 1);
    if (counter && *counter + lead < start && previous != *counter + 1) {
        std::this_thread::sleep_for(kRxStartPoll);
        return true;
    }
    rxStartTick_.store(0);
    return false;
}

} // namespace veltrano
