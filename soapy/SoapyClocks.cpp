// SPDX-License-Identifier: MIT
// Where the board's sample clock and its time come from. Clock sources are
// the device layer's ("internal", "external", "external-pll" on a bladeRF
// 2.0; the tamer's on a bladeRF1); the reference rate is the frequency the
// PLL source multiplies up, kept while another source is in force. The time
// sources are the board's own counter and, where the board has a trigger,
// the trigger line: the boards on it start, and so count, from one tick.
#include "soapy/SettingText.h"
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Types.hpp>

#include <algorithm>

namespace veltrano::soapy {
namespace {

constexpr const char* kInternalTime = "internal";
constexpr const char* kTriggerTime = "trigger";

// The source whose reference the board multiplies up; nullptr where there is none.
const ClockSourceInfo* referencedSource(const std::vector<ClockSourceInfo>& sources)
{
    const auto found = std::find_if(sources.begin(), sources.end(),
                                    [](const ClockSourceInfo& source) { return !source.referenceRangesHz.empty(); });
    return found == sources.end() ? nullptr : &*found;
}

} // namespace

std::vector<std::string> SoapyDevice::listClockSources() const
{
    const std::lock_guard lock(boardMutex_);
    std::vector<std::string> names;
    for (const ClockSourceInfo& source : board_->clockSources()) {
        names.push_back(source.name);
    }
    return names;
}

void SoapyDevice::setClockSource(const std::string& source)
{
    const std::lock_guard lock(boardMutex_);
    if (board_->clockSources().empty()) {
        fail("veltrano: this board's clock source cannot be chosen" + boardReason());
    }
    if (!board_->setClockSource(source, referenceClockHz_)) {
        fail("veltrano: the board refused the clock source \"" + source + "\"" + boardReason());
    }
}

std::string SoapyDevice::getClockSource() const
{
    const std::lock_guard lock(boardMutex_);
    return board_->clockSource();
}

SoapySDR::RangeList SoapyDevice::getReferenceClockRates() const
{
    const std::lock_guard lock(boardMutex_);
    const std::vector<ClockSourceInfo> sources = board_->clockSources();
    SoapySDR::RangeList ranges;
    if (const ClockSourceInfo* source = referencedSource(sources)) {
        for (const FrequencyRangeHz& range : source->referenceRangesHz) {
            ranges.emplace_back(range.minimumHz, range.maximumHz);
        }
    }
    return ranges;
}

void SoapyDevice::setReferenceClockRate(double rate)
{
    const SoapySDR::RangeList ranges = getReferenceClockRates();
    const std::lock_guard lock(boardMutex_);
    if (ranges.empty()) {
        fail("veltrano: this board takes no reference clock rate");
    }
    const bool inRange = std::any_of(ranges.begin(), ranges.end(), [rate](const SoapySDR::Range& range) {
        return rate >= range.minimum() && rate <= range.maximum();
    });
    if (!inRange) {
        fail("veltrano: the reference clock rate " + numberText(rate) + " Hz is outside " + validText(ranges, "Hz"));
    }
    const std::vector<ClockSourceInfo> sources = board_->clockSources();
    const ClockSourceInfo* source = referencedSource(sources);
    // In force, the PLL takes the new reference at once.
    if (source != nullptr && board_->clockSource() == source->name && !board_->setClockSource(source->name, rate)) {
        fail("veltrano: the board refused the reference clock rate" + boardReason());
    }
    referenceClockHz_ = rate;
}

double SoapyDevice::getReferenceClockRate() const
{
    const std::lock_guard lock(boardMutex_);
    return referenceClockHz_;
}

std::vector<std::string> SoapyDevice::listTimeSources() const
{
    const std::lock_guard lock(boardMutex_);
    std::vector<std::string> names;
    if (board_->hasHardwareTime()) {
        names.emplace_back(kInternalTime);
    }
    if (offersTriggerLine()) {
        names.emplace_back(kTriggerTime);
    }
    return names;
}

void SoapyDevice::setTimeSource(const std::string& source)
{
    const std::vector<std::string> names = listTimeSources();
    const std::lock_guard lock(boardMutex_);
    if (std::find(names.begin(), names.end(), source) == names.end()) {
        std::string valid;
        for (const std::string& name : names) {
            valid += (valid.empty() ? "" : ", ") + name;
        }
        fail("veltrano: no time source \"" + source + "\"; this board has " + (valid.empty() ? "none" : valid));
    }
    timeSource_ = source;
}

std::string SoapyDevice::getTimeSource() const
{
    const std::lock_guard lock(boardMutex_);
    return board_->hasHardwareTime() || timeSource_ != kInternalTime ? timeSource_ : std::string();
}

bool SoapyDevice::offersReferenceLock() const
{
    return referencedSource(board_->clockSources()) != nullptr;
}

std::string SoapyDevice::referenceLockText() const
{
    // Under another source nothing is locked to a reference. That is an
    // answer, not a failure: SoapySDRUtil's probe reads every sensor listed.
    const std::vector<ClockSourceInfo> sources = board_->clockSources();
    const ClockSourceInfo* source = referencedSource(sources);
    if (source == nullptr || board_->clockSource() != source->name) {
        return SoapySDR::SettingToString(false);
    }
    const std::optional<bool> locked = board_->clockLocked();
    if (!locked) {
        fail("veltrano: sensor \"ref_locked\" cannot be read" + boardReason());
    }
    return SoapySDR::SettingToString(*locked);
}

} // namespace veltrano::soapy
