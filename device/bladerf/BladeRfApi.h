// SPDX-License-Identifier: MIT
// The process-wide libbladeRF function table. The library is found and loaded
// at run time; a machine without it still runs and simply sees no bladeRF.
#pragma once

#include "device/platform/DynamicLibrary.h"

#include <libbladeRF.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace veltrano {

// Entry points in lookup order. Required ones are marked; an optional one is
// null when the loaded library lacks it, and the feature using it is off.
struct BladeRfApi {
    decltype(&::bladerf_get_device_list) getDeviceList = nullptr;     // required
    decltype(&::bladerf_free_device_list) freeDeviceList = nullptr;   // required
    decltype(&::bladerf_open) open = nullptr;                         // required
    decltype(&::bladerf_close) close = nullptr;                       // required
    decltype(&::bladerf_get_board_name) getBoardName = nullptr;       // required
    decltype(&::bladerf_get_channel_count) getChannelCount = nullptr; // required
    decltype(&::bladerf_set_frequency) setFrequency = nullptr;        // required
    decltype(&::bladerf_schedule_retune) scheduleRetune = nullptr;
    decltype(&::bladerf_get_quick_tune) getQuickTune = nullptr;
    decltype(&::bladerf_get_timestamp) getTimestamp = nullptr;
    decltype(&::bladerf_get_frequency_range) getFrequencyRange = nullptr;    // required
    decltype(&::bladerf_set_sample_rate) setSampleRate = nullptr;            // required
    decltype(&::bladerf_get_sample_rate_range) getSampleRateRange = nullptr; // required
    decltype(&::bladerf_set_bandwidth) setBandwidth = nullptr;               // required
    decltype(&::bladerf_set_gain_mode) setGainMode = nullptr;                // required
    decltype(&::bladerf_set_gain) setGain = nullptr;                         // required
    decltype(&::bladerf_sync_config) syncConfig = nullptr;                   // required
    decltype(&::bladerf_enable_module) enableModule = nullptr;               // required
    decltype(&::bladerf_sync_rx) syncRx = nullptr;                           // required
    decltype(&::bladerf_sync_tx) syncTx = nullptr;
    decltype(&::bladerf_strerror) strerror = nullptr;
    // Live control: a library without one of these leaves that control out.
    decltype(&::bladerf_get_gain_stages) getGainStages = nullptr;
    decltype(&::bladerf_get_gain_stage_range) getGainStageRange = nullptr;
    decltype(&::bladerf_get_gain_range) getGainRange = nullptr;
    decltype(&::bladerf_set_gain_stage) setGainStage = nullptr;
    decltype(&::bladerf_get_gain_stage) getGainStage = nullptr;
    decltype(&::bladerf_get_gain) getGain = nullptr;
    decltype(&::bladerf_get_gain_modes) getGainModes = nullptr;
    decltype(&::bladerf_get_gain_mode) getGainMode = nullptr;
    // Quiets the library while a bladeRF1 is asked whether it can take AGC.
    decltype(&::bladerf_log_set_verbosity) logSetVerbosity = nullptr;
    decltype(&::bladerf_get_bandwidth_range) getBandwidthRange = nullptr;
    decltype(&::bladerf_set_bias_tee) setBiasTee = nullptr;
    decltype(&::bladerf_get_bias_tee) getBiasTee = nullptr;
    // The bladeRF 2.0's AD9361 registers: whether its synthesizers locked.
    decltype(&::bladerf_get_rfic_register) getRficRegister = nullptr;
    // Identity and health: what the board and the library say about themselves.
    decltype(&::bladerf_version) version = nullptr;
    decltype(&::bladerf_fw_version) fwVersion = nullptr;
    decltype(&::bladerf_fpga_version) fpgaVersion = nullptr;
    decltype(&::bladerf_get_fpga_size) getFpgaSize = nullptr;
    decltype(&::bladerf_is_fpga_configured) isFpgaConfigured = nullptr;
    decltype(&::bladerf_get_rfic_temperature) getRficTemperature = nullptr;
    decltype(&::bladerf_get_rfic_rssi) getRficRssi = nullptr;
    // The bladeRF1's XB-200 transverter.
    decltype(&::bladerf_expansion_attach) expansionAttach = nullptr;
    decltype(&::bladerf_xb200_set_filterbank) xb200SetFilterbank = nullptr;
    // Boards that sample in step: the trigger line, and the reference clocks
    // (the bladeRF 2.0's PLL, clock select and clock out; the bladeRF1's tamer).
    decltype(&::bladerf_trigger_init) triggerInit = nullptr;
    decltype(&::bladerf_trigger_arm) triggerArm = nullptr;
    decltype(&::bladerf_trigger_fire) triggerFire = nullptr;
    decltype(&::bladerf_trigger_state) triggerState = nullptr;
    decltype(&::bladerf_set_pll_enable) setPllEnable = nullptr;
    decltype(&::bladerf_set_pll_refclk) setPllRefclk = nullptr;
    decltype(&::bladerf_get_pll_refclk_range) getPllRefclkRange = nullptr;
    decltype(&::bladerf_get_pll_lock_state) getPllLockState = nullptr;
    decltype(&::bladerf_set_clock_select) setClockSelect = nullptr;
    decltype(&::bladerf_set_clock_output) setClockOutput = nullptr;
    decltype(&::bladerf_get_clock_output) getClockOutput = nullptr;
    decltype(&::bladerf_set_vctcxo_tamer_mode) setVctcxoTamerMode = nullptr;

    // bladerf_format of timestamped receive streams: libraries after 2.5 take
    // the newer packed-metadata code 2, older ones the original code 1.
    std::int32_t metadataFormat = 1;
    platform::LibraryHandle module = nullptr;
    bool loaded = false; // library loaded and every required entry point present

    // Puts the first candidate file that loads into module; leaves it null when none does.
    void loadLibrary();
};

// The table, built on the first call and kept until process exit.
BladeRfApi& bladeRfApi();

// Whether a usable libbladeRF is loaded.
bool bladeRfLibraryAvailable();

namespace detail {

// The library's text for a result code, or "bladeRF error <code>".
std::string bladeRfErrorText(const BladeRfApi& api, int code);

// Files tried for libbladeRF, in order: the BROMELT_BLADERF_LIBRARY override
// (possibly empty, which is skipped), the library names next to the
// executable, then the vendor's install location (Windows: bladeRF\x64 under
// "ProgramW6432" and "ProgramFiles"; elsewhere: the installed soname).
std::vector<std::filesystem::path> bladeRfLibraryCandidates();

} // namespace detail
} // namespace veltrano
