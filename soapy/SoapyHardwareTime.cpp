// SPDX-License-Identifier: MIT
// Hardware time: the board's sample counter in nanoseconds, as the device
// layer keeps it. Setting it moves an offset; the board's counter runs on,
// so the stamps of a running stream move with it.
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Logger.hpp>

namespace veltrano::soapy {
namespace {

bool isOurTimeBase(const std::string& what)
{
    return what.empty() || what == "hardware";
}

} // namespace

bool SoapyDevice::hasHardwareTime(const std::string& what) const
{
    const std::lock_guard lock(boardMutex_);
    return isOurTimeBase(what) && board_->hasHardwareTime();
}

long long SoapyDevice::getHardwareTime(const std::string& what) const
{
    const std::lock_guard lock(boardMutex_);
    if (!isOurTimeBase(what) || !board_->hasHardwareTime()) {
        fail("veltrano: this board has no hardware time named \"" + what + "\"");
    }
    const std::optional<std::int64_t> time = board_->hardwareTimeNs();
    if (!time) {
        fail("veltrano: the hardware time could not be read" + boardReason());
    }
    return *time;
}

void SoapyDevice::setHardwareTime(long long timeNs, const std::string& what)
{
    const std::lock_guard lock(boardMutex_);
    if (!isOurTimeBase(what) || !board_->hasHardwareTime()) {
        fail("veltrano: this board has no hardware time named \"" + what + "\"");
    }
    if (!board_->setHardwareTimeNs(timeNs)) {
        fail("veltrano: the hardware time could not be set" + boardReason());
    }
}

} // namespace veltrano::soapy
