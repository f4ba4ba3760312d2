// SPDX-License-Identifier: MIT
// A HackRF has no sample counter the host can read or stamp a stream with:
// the timed calls say so rather than do something untimed.
#include "device/hackrf/HackRfSdrDevice.h"

namespace veltrano {
namespace {

constexpr const char* kNoHardwareTime = "HackRF has no hardware time: timed reads, starts and bursts are not possible";

} // namespace

std::optional<std::int64_t> HackRfSdrDevice::hardwareTimeNs()
{
    lastError_.set(kNoHardwareTime);
    return std::nullopt;
}

bool HackRfSdrDevice::setHardwareTimeNs(std::int64_t)
{
    lastError_.set(kNoHardwareTime);
    return false;
}

bool HackRfSdrDevice::startRxAt(std::int64_t)
{
    lastError_.set(kNoHardwareTime);
    return false;
}

bool HackRfSdrDevice::startTimedTx()
{
    lastError_.set(kNoHardwareTime);
    return false;
}

std::size_t HackRfSdrDevice::writeBurst(const std::complex<float>*, std::size_t, const TxBurstMarks&)
{
    lastError_.set(kNoHardwareTime);
    return 0;
}

std::size_t HackRfSdrDevice::writeNativeBurst(const void*, std::size_t, const TxBurstMarks&)
{
    lastError_.set(kNoHardwareTime);
    return 0;
}

} // namespace veltrano
