// SPDX-License-Identifier: MIT
// Where a bladeRF's sample clock comes from, through libbladeRF: a bladeRF
// 2.0's clock select, its PLL (with the lock read back) and its clock out; a
// bladeRF1's VCTCXO tamer. A source whose calls the library lacks is not
// offered.
#include "device/bladerf/BladeRfSdrDevice.h"

#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"

#include <cstdint>

namespace veltrano {
namespace {

constexpr const char* kInternal = "internal";
constexpr const char* kExternal = "external";
constexpr const char* kExternalPll = "external-pll";
constexpr const char* kTamer1Pps = "external-1pps";
constexpr const char* kTamer10MHz = "external-10mhz";

bool hasPll(const BladeRfApi& api)
{
    return api.setPllEnable != nullptr && api.setPllRefclk != nullptr && api.getPllLockState != nullptr;
}

} // namespace

std::vector<ClockSourceInfo> BladeRfSdrDevice::clockSources() const
{
    const BladeRfApi& api = bladeRfApi();
    std::vector<ClockSourceInfo> sources;
    if (!isOpen()) {
        return sources;
    }
    if (!bladeRf2Parts_) {
        if (api.setVctcxoTamerMode != nullptr) {
            sources = {{kInternal, {}}, {kTamer1Pps, {}}, {kTamer10MHz, {}}};
        }
        return sources;
    }
    if (api.setClockSelect == nullptr && !hasPll(api)) {
        return sources;
    }
    sources.push_back({kInternal, {}});
    if (api.setClockSelect != nullptr) {
        sources.push_back({kExternal, {}});
    }
    if (hasPll(api)) {
        ClockSourceInfo pll{kExternalPll, {}};
        const std::lock_guard lock(deviceMutex_);
        const bladerf_range* range = nullptr;
        if (api.getPllRefclkRange != nullptr && api.getPllRefclkRange(handle_->device, &range) == 0 &&
            range != nullptr) {
            pll.referenceRangesHz.push_back({static_cast<double>(range->min) * static_cast<double>(range->scale),
                                             static_cast<double>(range->max) * static_cast<double>(range->scale)});
        }
        sources.push_back(std::move(pll));
    }
    return sources;
}

bool BladeRfSdrDevice::setClockSource(const std::string& name, double referenceHz)
{
    bool listed = false;
    for (const ClockSourceInfo& source : clockSources()) {
        listed = listed || source.name == name;
    }
    if (!listed) {
        return refuse("clock source: the board or the loaded libbladeRF offers no \"" + name + "\"");
    }
    const BladeRfApi& api = bladeRfApi();
    bladerf* device = handle_->device;
    const auto failed = [&](const char* call, int result) {
        return refuse(std::string("clock source: ") + call + " failed: " + detail::bladeRfErrorText(api, result));
    };
    const std::lock_guard lock(deviceMutex_);
    int result = 0;
    if (!bladeRf2Parts_) {
        const bladerf_vctcxo_tamer_mode mode = name == kTamer1Pps    ? BLADERF_VCTCXO_TAMER_1_PPS
                                               : name == kTamer10MHz ? BLADERF_VCTCXO_TAMER_10_MHZ
                                                                     : BLADERF_VCTCXO_TAMER_DISABLED;
        if ((result = api.setVctcxoTamerMode(device, mode)) < 0) {
            return failed("bladerf_set_vctcxo_tamer_mode", result);
        }
        clockSource_ = name;
        return true;
    }
    const bool pll = name == kExternalPll;
    if (pll) {
        if (!(referenceHz > 0.0) || referenceHz > 1e12) {
            return refuse("clock source: external-pll needs the reference's frequency");
        }
        if ((result = api.setPllRefclk(device, static_cast<std::uint64_t>(referenceHz + 0.5))) < 0) {
            return failed("bladerf_set_pll_refclk", result);
        }
    }
    // The PLL disciplines the on-board oscillator: the clock select stays on it.
    if (hasPll(api) && (result = api.setPllEnable(device, pll)) < 0) {
        return failed("bladerf_set_pll_enable", result);
    }
    if (api.setClockSelect != nullptr &&
        (result = api.setClockSelect(device, name == kExternal ? CLOCK_SELECT_EXTERNAL : CLOCK_SELECT_ONBOARD)) < 0) {
        return failed("bladerf_set_clock_select", result);
    }
    clockSource_ = name;
    return true;
}

std::string BladeRfSdrDevice::clockSource() const
{
    return clockSources().empty() ? std::string() : clockSource_;
}

std::optional<bool> BladeRfSdrDevice::clockLocked() const
{
    const BladeRfApi& api = bladeRfApi();
    if (!isOpen() || clockSource_ != kExternalPll || !hasPll(api)) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    bool locked = false;
    if (api.getPllLockState(handle_->device, &locked) < 0) {
        return std::nullopt;
    }
    return locked;
}

bool BladeRfSdrDevice::supportsClockOutput() const
{
    const BladeRfApi& api = bladeRfApi();
    return isOpen() && bladeRf2Parts_ && api.setClockOutput != nullptr && api.getClockOutput != nullptr;
}

bool BladeRfSdrDevice::setClockOutput(bool enabled)
{
    if (!supportsClockOutput()) {
        return refuse("clock out: the board or the loaded libbladeRF has none");
    }
    const std::lock_guard lock(deviceMutex_);
    if (const int result = bladeRfApi().setClockOutput(handle_->device, enabled); result < 0) {
        return refuse("clock out: " + detail::bladeRfErrorText(bladeRfApi(), result));
    }
    return true;
}

std::optional<bool> BladeRfSdrDevice::clockOutput() const
{
    if (!supportsClockOutput()) {
        return std::nullopt;
    }
    const std::lock_guard lock(deviceMutex_);
    bool on = false;
    if (bladeRfApi().getClockOutput(handle_->device, &on) < 0) {
        return std::nullopt;
    }
    return on;
}

} // namespace veltrano
