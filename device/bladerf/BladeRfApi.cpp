// SPDX-License-Identifier: MIT
#include "device/bladerf/BladeRfApi.h"

#include <cstdlib>

namespace veltrano {
namespace {

void resolveEntryPoints(BladeRfApi& api)
{
    const auto module = api.module;
    using platform::resolveFunction;
    resolveFunction(module, api.getDeviceList, "bladerf_get_device_list");
    resolveFunction(module, api.freeDeviceList, "bladerf_free_device_list");
    resolveFunction(module, api.open, "bladerf_open");
    resolveFunction(module, api.close, "bladerf_close");
    resolveFunction(module, api.getBoardName, "bladerf_get_board_name");
    resolveFunction(module, api.getChannelCount, "bladerf_get_channel_count");
    resolveFunction(module, api.setFrequency, "bladerf_set_frequency");
    resolveFunction(module, api.scheduleRetune, "bladerf_schedule_retune");
    resolveFunction(module, api.getQuickTune, "bladerf_get_quick_tune");
    resolveFunction(module, api.getTimestamp, "bladerf_get_timestamp");
    resolveFunction(module, api.getFrequencyRange, "bladerf_get_frequency_range");
    resolveFunction(module, api.setSampleRate, "bladerf_set_sample_rate");
    resolveFunction(module, api.getSampleRateRange, "bladerf_get_sample_rate_range");
    resolveFunction(module, api.setBandwidth, "bladerf_set_bandwidth");
    resolveFunction(module, api.setGainMode, "bladerf_set_gain_mode");
    resolveFunction(module, api.setGain, "bladerf_set_gain");
    resolveFunction(module, api.syncConfig, "bladerf_sync_config");
    resolveFunction(module, api.enableModule, "bladerf_enable_module");
    resolveFunction(module, api.syncRx, "bladerf_sync_rx");
    resolveFunction(module, api.syncTx, "bladerf_sync_tx");
    resolveFunction(module, api.strerror, "bladerf_strerror");
    resolveFunction(module, api.getGainStages, "bladerf_get_gain_stages");
    resolveFunction(module, api.getGainStageRange, "bladerf_get_gain_stage_range");
    resolveFunction(module, api.getGainRange, "bladerf_get_gain_range");
    resolveFunction(module, api.setGainStage, "bladerf_set_gain_stage");
    resolveFunction(module, api.getGainStage, "bladerf_get_gain_stage");
    resolveFunction(module, api.getGain, "bladerf_get_gain");
    resolveFunction(module, api.getGainModes, "bladerf_get_gain_modes");
    resolveFunction(module, api.getGainMode, "bladerf_get_gain_mode");
    resolveFunction(module, api.logSetVerbosity, "bladerf_log_set_verbosity");
    resolveFunction(module, api.getBandwidthRange, "bladerf_get_bandwidth_range");
    resolveFunction(module, api.setBiasTee, "bladerf_set_bias_tee");
    resolveFunction(module, api.getBiasTee, "bladerf_get_bias_tee");
    resolveFunction(module, api.getRficRegister, "bladerf_get_rfic_register");
    resolveFunction(module, api.version, "bladerf_version");
    resolveFunction(module, api.fwVersion, "bladerf_fw_version");
    resolveFunction(module, api.fpgaVersion, "bladerf_fpga_version");
    resolveFunction(module, api.getFpgaSize, "bladerf_get_fpga_size");
    resolveFunction(module, api.isFpgaConfigured, "bladerf_is_fpga_configured");
    resolveFunction(module, api.getRficTemperature, "bladerf_get_rfic_temperature");
    resolveFunction(module, api.getRficRssi, "bladerf_get_rfic_rssi");
    resolveFunction(module, api.expansionAttach, "bladerf_expansion_attach");
    resolveFunction(module, api.xb200SetFilterbank, "bladerf_xb200_set_filterbank");
    resolveFunction(module, api.triggerInit, "bladerf_trigger_init");
    resolveFunction(module, api.triggerArm, "bladerf_trigger_arm");
    resolveFunction(module, api.triggerFire, "bladerf_trigger_fire");
    resolveFunction(module, api.triggerState, "bladerf_trigger_state");
    resolveFunction(module, api.setPllEnable, "bladerf_set_pll_enable");
    resolveFunction(module, api.setPllRefclk, "bladerf_set_pll_refclk");
    resolveFunction(module, api.getPllRefclkRange, "bladerf_get_pll_refclk_range");
    resolveFunction(module, api.getPllLockState, "bladerf_get_pll_lock_state");
    resolveFunction(module, api.setClockSelect, "bladerf_set_clock_select");
    resolveFunction(module, api.setClockOutput, "bladerf_set_clock_output");
    resolveFunction(module, api.getClockOutput, "bladerf_get_clock_output");
    resolveFunction(module, api.setVctcxoTamerMode, "bladerf_set_vctcxo_tamer_mode");
}

bool hasRequiredEntryPoints(const BladeRfApi& api)
{
    return api.getDeviceList && api.freeDeviceList && api.open && api.close && api.getBoardName &&
           api.getChannelCount && api.setFrequency && api.getFrequencyRange && api.setSampleRate &&
           api.getSampleRateRange && api.setBandwidth && api.setGainMode && api.setGain && api.syncConfig &&
           api.enableModule && api.syncRx;
}

std::int32_t metadataFormatOf(platform::LibraryHandle module)
{
    const auto version = platform::findFunction<decltype(&::bladerf_version)>(module, "bladerf_version");
    if (version == nullptr) {
        return 1;
    }
    struct bladerf_version reported {};
    version(&reported);
    const bool after25 = reported.major > 2 || (reported.major == 2 && reported.minor > 5);
    return after25 ? 2 : 1;
}

void build(BladeRfApi& api)
{
    api = BladeRfApi{};
    api.loadLibrary();
    if (api.module == nullptr) {
        return;
    }
    api.metadataFormat = metadataFormatOf(api.module);
    resolveEntryPoints(api);
    if (!hasRequiredEntryPoints(api)) {
        platform::releaseLibrary(api.module);
        api.module = nullptr;
        return;
    }
    api.loaded = true;
}

void tearDown()
{
    BladeRfApi& api = bladeRfApi();
    api.loaded = false;
    platform::releaseLibrary(api.module);
    api.module = nullptr;
}

} // namespace

void BladeRfApi::loadLibrary()
{
    // The first file that loads is the one used: a broken library there ends
    // the search rather than silently mixing in another installation.
    for (const auto& candidate : detail::bladeRfLibraryCandidates()) {
        if (candidate.empty()) {
            continue;
        }
        module = platform::loadLibraryWithLocalDependencies(candidate);
        if (module != nullptr) {
            return;
        }
    }
}

BladeRfApi& bladeRfApi()
{
    static BladeRfApi api;
    // Built once; if building throws (allocation), the next call tries again.
    static const bool built = [] {
        build(api);
        std::atexit(tearDown);
        return true;
    }();
    static_cast<void>(built);
    return api;
}

bool bladeRfLibraryAvailable()
{
    return bladeRfApi().loaded;
}

std::string detail::bladeRfErrorText(const BladeRfApi& api, int code)
{
    if (api.strerror != nullptr) {
        if (const char* text = api.strerror(code)) {
            return text;
        }
    }
    return "bladeRF error " + std::to_string(code);
}

} // namespace veltrano
