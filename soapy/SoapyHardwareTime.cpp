// SPDX-License-Identifier: MIT
// Hardware time: the board's sample counter in nanoseconds, as the device
// layer keeps it. Setting it moves an offset; the board's counter runs on,
// so the stamps of a running stream move with it. A board without the time
// asked for reads 0, as SoapySDR's own default does; setting it is an error.
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
    // SoapySDR's convention, which clients rely on (they ask whether or not
    // the board keeps time): a time there is none of reads 0.
    const std::lock_guard lock(boardMutex_);
    if (!isOurTimeBase(what) || !board_->hasHardwareTime()) {
        return 0;
    }
    const std::optional<std::int64_t> time = board_->hardwareTimeNs();
    if (!time) {
        SoapySDR::log(SOAPY_SDR_WARNING, "veltrano: the hardware time could not be read" + boardReason());
        return 0;
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
