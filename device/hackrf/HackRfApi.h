// SPDX-License-Identifier: MIT
// The process-wide libhackrf function table. The library is never linked: it
// is found and loaded at run time, so that a machine without it still runs
// and simply sees no HackRF boards.
#pragma once

#include "device/platform/DynamicLibrary.h"

#include <libhackrf/hackrf.h>

#include <filesystem>
#include <string>
#include <vector>

namespace veltrano {

// Entry points in lookup order. Required ones are marked; an optional one is
// null when the loaded library lacks it, and the feature using it is off.
struct HackRfApi {
    decltype(&::hackrf_init) init = nullptr;                       // required
    decltype(&::hackrf_exit) exit = nullptr;                       // required
    decltype(&::hackrf_device_list) deviceList = nullptr;          // required
    decltype(&::hackrf_device_list_free) deviceListFree = nullptr; // required
    decltype(&::hackrf_open_by_serial) openBySerial = nullptr;     // required
    decltype(&::hackrf_close) close = nullptr;                     // required
    decltype(&::hackrf_start_rx) startRx = nullptr;                // required
    decltype(&::hackrf_stop_rx) stopRx = nullptr;                  // required
    decltype(&::hackrf_start_tx) startTx = nullptr;
    decltype(&::hackrf_stop_tx) stopTx = nullptr;
    decltype(&::hackrf_enable_tx_flush) enableTxFlush = nullptr;
    decltype(&::hackrf_is_streaming) isStreaming = nullptr;
    decltype(&::hackrf_set_freq) setFreq = nullptr;              // required
    decltype(&::hackrf_set_sample_rate) setSampleRate = nullptr; // required
    decltype(&::hackrf_set_baseband_filter_bandwidth) setBasebandFilterBandwidth = nullptr;
    decltype(&::hackrf_compute_baseband_filter_bw) computeBasebandFilterBw = nullptr;
    decltype(&::hackrf_set_lna_gain) setLnaGain = nullptr; // required
    decltype(&::hackrf_set_vga_gain) setVgaGain = nullptr; // required
    decltype(&::hackrf_set_txvga_gain) setTxvgaGain = nullptr;
    decltype(&::hackrf_set_amp_enable) setAmpEnable = nullptr; // required
    decltype(&::hackrf_init_sweep) initSweep = nullptr;
    decltype(&::hackrf_start_rx_sweep) startRxSweep = nullptr;
    decltype(&::hackrf_error_name) errorName = nullptr;
    decltype(&::hackrf_version_string_read) versionStringRead = nullptr;
    decltype(&::hackrf_usb_api_version_read) usbApiVersionRead = nullptr;
    decltype(&::hackrf_set_rx_overrun_limit) setRxOverrunLimit = nullptr;
    decltype(&::hackrf_set_tx_underrun_limit) setTxUnderrunLimit = nullptr;
    decltype(&::hackrf_get_m0_state) getM0State = nullptr;
    decltype(&::hackrf_set_antenna_enable) setAntennaEnable = nullptr;
    // Identity and health: what the board and the library say about themselves.
    decltype(&::hackrf_board_id_read) boardIdRead = nullptr;
    decltype(&::hackrf_board_id_name) boardIdName = nullptr;
    decltype(&::hackrf_board_rev_read) boardRevRead = nullptr;
    decltype(&::hackrf_board_rev_name) boardRevName = nullptr;
    decltype(&::hackrf_library_version) libraryVersion = nullptr;
    decltype(&::hackrf_library_release) libraryRelease = nullptr;
    decltype(&::hackrf_get_clkin_status) getClkinStatus = nullptr;
    // Boards that start together: the sync input's wait and the clock out.
    decltype(&::hackrf_set_hw_sync_mode) setHwSyncMode = nullptr;
    decltype(&::hackrf_set_clkout_enable) setClkoutEnable = nullptr;
    // The Opera Cake antenna switches stacked on the board.
    decltype(&::hackrf_get_operacake_boards) getOperacakeBoards = nullptr;
    decltype(&::hackrf_set_operacake_mode) setOperacakeMode = nullptr;
    decltype(&::hackrf_set_operacake_ports) setOperacakePorts = nullptr;
    decltype(&::hackrf_set_operacake_freq_ranges) setOperacakeFreqRanges = nullptr;

    platform::LibraryHandle module = nullptr;
    bool initialized = false; // hackrf_init succeeded, so hackrf_exit is owed at process exit
    bool loaded = false;      // library loaded, every required entry point present, initialised

    // Puts the first candidate file that loads into module; leaves it null when none does.
    void loadLibrary();

    // The library's name for a result code, or "HackRF error <code>".
    std::string error(int code) const;
};

// The table, built on the first call and kept until process exit, when
// libhackrf is shut down and released.
HackRfApi& hackRfApi();

// Whether a usable libhackrf is loaded.
bool hackRfLibraryAvailable();

namespace detail {

// Files tried for libhackrf, in order: the BROMELT_HACKRF_LIBRARY override
// (possibly empty, which is skipped), then the library names next to the
// executable, then (outside Windows) the installed library by its soname.
std::vector<std::filesystem::path> hackRfLibraryCandidates();

} // namespace detail
} // namespace veltrano
