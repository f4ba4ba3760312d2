// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfApi.h"

#include <cstdlib>

namespace veltrano {
namespace {

void resolveEntryPoints(HackRfApi& api)
{
    const auto module = api.module;
    using platform::resolveFunction;
    resolveFunction(module, api.init, "hackrf_init");
    resolveFunction(module, api.exit, "hackrf_exit");
    resolveFunction(module, api.deviceList, "hackrf_device_list");
    resolveFunction(module, api.deviceListFree, "hackrf_device_list_free");
    resolveFunction(module, api.openBySerial, "hackrf_open_by_serial");
    resolveFunction(module, api.close, "hackrf_close");
    resolveFunction(module, api.startRx, "hackrf_start_rx");
    resolveFunction(module, api.stopRx, "hackrf_stop_rx");
    resolveFunction(module, api.startTx, "hackrf_start_tx");
    resolveFunction(module, api.stopTx, "hackrf_stop_tx");
    resolveFunction(module, api.enableTxFlush, "hackrf_enable_tx_flush");
    resolveFunction(module, api.isStreaming, "hackrf_is_streaming");
    resolveFunction(module, api.setFreq, "hackrf_set_freq");
    resolveFunction(module, api.setSampleRate, "hackrf_set_sample_rate");
    resolveFunction(module, api.setBasebandFilterBandwidth, "hackrf_set_baseband_filter_bandwidth");
    resolveFunction(module, api.computeBasebandFilterBw, "hackrf_compute_baseband_filter_bw");
    resolveFunction(module, api.setLnaGain, "hackrf_set_lna_gain");
    resolveFunction(module, api.setVgaGain, "hackrf_set_vga_gain");
    resolveFunction(module, api.setTxvgaGain, "hackrf_set_txvga_gain");
    resolveFunction(module, api.setAmpEnable, "hackrf_set_amp_enable");
    resolveFunction(module, api.initSweep, "hackrf_init_sweep");
    resolveFunction(module, api.startRxSweep, "hackrf_start_rx_sweep");
    resolveFunction(module, api.errorName, "hackrf_error_name");
    resolveFunction(module, api.versionStringRead, "hackrf_version_string_read");
    resolveFunction(module, api.usbApiVersionRead, "hackrf_usb_api_version_read");
    resolveFunction(module, api.setRxOverrunLimit, "hackrf_set_rx_overrun_limit");
    resolveFunction(module, api.setTxUnderrunLimit, "hackrf_set_tx_underrun_limit");
    resolveFunction(module, api.getM0State, "hackrf_get_m0_state");
    resolveFunction(module, api.setAntennaEnable, "hackrf_set_antenna_enable");
    resolveFunction(module, api.boardIdRead, "hackrf_board_id_read");
    resolveFunction(module, api.boardIdName, "hackrf_board_id_name");
    resolveFunction(module, api.boardRevRead, "hackrf_board_rev_read");
    resolveFunction(module, api.boardRevName, "hackrf_board_rev_name");
    resolveFunction(module, api.libraryVersion, "hackrf_library_version");
    resolveFunction(module, api.libraryRelease, "hackrf_library_release");
    resolveFunction(module, api.getClkinStatus, "hackrf_get_clkin_status");
    resolveFunction(module, api.setHwSyncMode, "hackrf_set_hw_sync_mode");
    resolveFunction(module, api.setClkoutEnable, "hackrf_set_clkout_enable");
    resolveFunction(module, api.getOperacakeBoards, "hackrf_get_operacake_boards");
    resolveFunction(module, api.setOperacakeMode, "hackrf_set_operacake_mode");
    resolveFunction(module, api.setOperacakePorts, "hackrf_set_operacake_ports");
    resolveFunction(module, api.setOperacakeFreqRanges, "hackrf_set_operacake_freq_ranges");
}

bool hasRequiredEntryPoints(const HackRfApi& api)
{
    return api.init && api.exit && api.deviceList && api.deviceListFree && api.openBySerial && api.close &&
           api.startRx && api.stopRx && api.setFreq && api.setSampleRate && api.setLnaGain && api.setVgaGain &&
           api.setAmpEnable;
}

void releaseModule(HackRfApi& api)
{
    platform::releaseLibrary(api.module);
    api.module = nullptr;
}

void build(HackRfApi& api)
{
    api = HackRfApi{};
    api.loadLibrary();
    if (api.module == nullptr) {
        return;
    }
    resolveEntryPoints(api);
    // A library we cannot fully drive, or one that will not initialise, is
    // treated exactly like a missing one; none of its entry points is called again.
    if (!hasRequiredEntryPoints(api) || api.init() != HACKRF_SUCCESS) {
        releaseModule(api);
        return;
    }
    api.initialized = true;
    api.loaded = true;
}

void tearDown()
{
    HackRfApi& api = hackRfApi();
    if (api.initialized && api.exit != nullptr) {
        static_cast<void>(api.exit());
    }
    api.loaded = false;
    if (api.module != nullptr) {
        releaseModule(api);
    }
}

} // namespace

void HackRfApi::loadLibrary()
{
    for (const auto& candidate : detail::hackRfLibraryCandidates()) {
        if (candidate.empty()) {
            continue;
        }
        module = platform::loadLibrary(candidate);
        if (module != nullptr) {
            return;
        }
    }
}

std::string HackRfApi::error(int code) const
{
    if (errorName != nullptr) {
        if (const char* name = errorName(static_cast<enum hackrf_error>(code))) {
            return name;
        }
    }
    return "HackRF error " + std::to_string(code);
}

HackRfApi& hackRfApi()
{
    static HackRfApi api;
    // Built once; if building throws (allocation), the next call tries again.
    static const bool built = [] {
        build(api);
        std::atexit(tearDown);
        return true;
    }();
    static_cast<void>(built);
    return api;
}

bool hackRfLibraryAvailable()
{
    return hackRfApi().loaded;
}

} // namespace veltrano
