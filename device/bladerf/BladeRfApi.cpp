#include "device/bladerf/BladeRfApi.h"

#include <cstdlib>

namespace veltrano {
namespace {

template <typename FunctionPointer>
void resolve(platform::LibraryHandle module, FunctionPointer& entry, const char* name)
{
    entry = platform::findFunction<FunctionPointer>(module, name);
}

void resolveEntryPoints(BladeRfApi& api)
{
    const auto module = api.module;
    resolve(module, api.getDeviceList, "bladerf_get_device_list");
    resolve(module, api.freeDeviceList, "bladerf_free_device_list");
    resolve(module, api.open, "bladerf_open");
    resolve(module, api.close, "bladerf_close");
    resolve(module, api.getBoardName, "bladerf_get_board_name");
    resolve(module, api.getChannelCount, "bladerf_get_channel_count");
    resolve(module, api.setFrequency, "bladerf_set_frequency");
    resolve(module, api.scheduleRetune, "bladerf_schedule_retune");
    resolve(module, api.getQuickTune, "bladerf_get_quick_tune");
    resolve(module, api.getTimestamp, "bladerf_get_timestamp");
    resolve(module, api.getFrequencyRange, "bladerf_get_frequency_range");
    resolve(module, api.setSampleRate, "bladerf_set_sample_rate");
    resolve(module, api.getSampleRateRange, "bladerf_get_sample_rate_range");
    resolve(module, api.setBandwidth, "bladerf_set_bandwidth");
    resolve(module, api.setGainMode, "bladerf_set_gain_mode");
    resolve(module, api.setGain, "bladerf_set_gain");
    resolve(module, api.syncConfig, "bladerf_sync_config");
    resolve(module, api.enableModule, "bladerf_enable_module");
    resolve(module, api.syncRx, "bladerf_sync_rx");
    resolve(module, api.syncTx, "bladerf_sync_tx");
    resolve(module, api.strerror, "bladerf_strerror");
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

} // namespace veltrano
