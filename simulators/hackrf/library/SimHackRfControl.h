// SPDX-License-Identifier: MIT
#pragma once

// Control entry points of the simulated libhackrf, beside the vendor's ones.
// A test (or a benchmark) resolves them from the library module the device
// layer already loaded, and drives the running stream with them. They act on
// the stream started last (by hackrf_start_rx, hackrf_start_rx_sweep or
// hackrf_start_tx) that has not been stopped. See docs/simulators.md.

#include <cstddef>

#if defined(_WIN32)
#define VELTRANO_SIM_CONTROL_API __declspec(dllexport)
#else
#define VELTRANO_SIM_CONTROL_API __attribute__((visibility("default")))
#endif

extern "C" {

// Receive or sweep: hands one transfer of buffer_length bytes (data copied in,
// or zeros when data is null) with this valid_length to the callback on the
// transfer thread, and returns once the callback has returned: its result, or
// -1 when no stream runs (or it ended before taking the transfer).
VELTRANO_SIM_CONTROL_API int veltrano_sim_hackrf_deliver(const unsigned char* data, int buffer_length,
                                                         int valid_length);

// Sweep: one transfer of `blocks` marked 16384-byte blocks for the next steps of
// the programmed plan. Result as for veltrano_sim_hackrf_deliver.
VELTRANO_SIM_CONTROL_API int veltrano_sim_hackrf_deliver_sweep(int blocks);

// Transmit: asks the callback to fill one transfer of buffer_length bytes;
// copies the valid bytes to out (may be null) and their count to valid_length
// (may be null). Result as for veltrano_sim_hackrf_deliver.
VELTRANO_SIM_CONTROL_API int veltrano_sim_hackrf_pull(int buffer_length, unsigned char* out, int* valid_length);

// The stream dies as a failed USB link would: no further callback, and
// hackrf_is_streaming returns code from then on. -1 when no stream runs.
VELTRANO_SIM_CONTROL_API int veltrano_sim_hackrf_kill(int code);

// The baseband filter in force, in Hz, on the board whose stream runs: the
// last one set, by the client or by the library with the rate. 0 when no
// stream runs (or no filter was set yet).
VELTRANO_SIM_CONTROL_API unsigned veltrano_sim_hackrf_baseband_filter();

// A pulse on the sync input of the board with this serial, as an external
// source would give it; null pulses the whole wire, every board of the
// library. Returns how many boards waiting in sync mode it released.
VELTRANO_SIM_CONTROL_API int veltrano_sim_hackrf_pulse_sync(const char* serial);

// Moves up to capacity of the oldest bytes sent by transmit streams (not yet
// taken) to out; returns how many.
VELTRANO_SIM_CONTROL_API std::size_t veltrano_sim_hackrf_take_sent(unsigned char* out, std::size_t capacity);

} // extern "C"
