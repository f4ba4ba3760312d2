// SPDX-License-Identifier: MIT
// The XB-200 transverter on a bladeRF1's expansion port. libbladeRF does the
// tuning through it once it is attached: below 300 MHz it puts the chain on
// the mixer, tunes the LMS6002D to 1248 MHz minus the frequency and picks
// the filter bank; above, it bypasses the transverter.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfNativeHandle.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/bladerf/BladeRfSettings.h"

#include <utility>

namespace veltrano {

bool BladeRfSdrDevice::attachXb200(Xb200Filter filter)
{
    const BladeRfApi& api = bladeRfApi();
    const auto refuse = [&](std::string why) {
        const std::lock_guard lock(lastErrorMutex_);
        lastError_ = std::move(why);
        return false;
    };
    if (!isOpen()) {
        return refuse("the board is closed");
    }
    if (api.expansionAttach == nullptr || api.xb200SetFilterbank == nullptr) {
        return refuse("the loaded libbladeRF cannot attach an XB-200");
    }
    if (rxStreaming_.load() || txStreaming_.load()) {
        return refuse("an XB-200 is attached while neither direction streams");
    }
    if (const int result = api.expansionAttach(handle_->device, BLADERF_XB_200); result < 0) {
        return refuse("bladerf_expansion_attach: " + detail::bladeRfErrorText(api, result) +
                      " (the XB-200 fits a bladeRF1 with FPGA 0.0.5 or later)");
    }
    xb200Attached_ = true;
    const bladerf_xb200_filter bank = filter == Xb200Filter::automatic ? BLADERF_XB200_AUTO_1DB
                                      : filter == Xb200Filter::mhz50   ? BLADERF_XB200_50M
                                      : filter == Xb200Filter::mhz144  ? BLADERF_XB200_144M
                                      : filter == Xb200Filter::mhz222  ? BLADERF_XB200_222M
                                                                       : BLADERF_XB200_CUSTOM;
    for (const bladerf_channel channel : {detail::kBladeRfRxChannel, detail::kBladeRfTxChannel}) {
        if (const int result = api.xb200SetFilterbank(handle_->device, channel, bank); result < 0) {
            return refuse("bladerf_xb200_set_filterbank: " + detail::bladeRfErrorText(api, result));
        }
    }
    return true;
}

namespace {

// The XB-200's filter banks by the names attachAccessory takes.
const std::pair<const char*, BladeRfSdrDevice::Xb200Filter> kXb200Options[] = {
    {"auto", BladeRfSdrDevice::Xb200Filter::automatic}, {"50M", BladeRfSdrDevice::Xb200Filter::mhz50},
    {"144M", BladeRfSdrDevice::Xb200Filter::mhz144},    {"222M", BladeRfSdrDevice::Xb200Filter::mhz222},
    {"custom", BladeRfSdrDevice::Xb200Filter::custom},
};

} // namespace

std::vector<ISdrDevice::AttachableAccessory> BladeRfSdrDevice::attachableAccessories() const
{
    // Only a bladeRF1 has the expansion port the XB-200 fits.
    if (!isOpen() || bladeRf2Parts_ || bladeRfApi().expansionAttach == nullptr) {
        return {};
    }
    AttachableAccessory xb200{"xb200", {}};
    for (const auto& [name, filter] : kXb200Options) {
        xb200.options.emplace_back(name);
    }
    return {xb200};
}

bool BladeRfSdrDevice::attachAccessory(const std::string& name, const std::string& option)
{
    for (const auto& [optionName, filter] : kXb200Options) {
        if (name == "xb200" && option == optionName) {
            return attachXb200(filter);
        }
    }
    const std::lock_guard lock(lastErrorMutex_);
    lastError_ = name == "xb200" ? "the XB-200 takes auto, 50M, 144M, 222M or custom, not \"" + option + "\""
                                 : "no accessory named \"" + name + "\" can be attached";
    return false;
}

std::vector<std::string> BladeRfSdrDevice::accessories() const
{
    return xb200Attached_ ? std::vector<std::string>{"XB-200"} : std::vector<std::string>{};
}

} // namespace veltrano
