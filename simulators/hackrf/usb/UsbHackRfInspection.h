// SPDX-License-Identifier: MIT
#pragma once

// What a test (or any program that loads the emulated board) can ask the
// board itself, and the faults it can make the board have. Link the emulator
// library, or look the functions up with dlsym in the libusb-1.0.so.0 the
// process loaded.
//
// Each function's first argument names the HackRF it addresses by its
// serial, for a bus that holds several; null or empty: the first HackRF on
// the bus. A serial no HackRF on the bus has reads as 0 (-1 where a name is
// asked for) and takes no fault.

#include <stdint.h>

#if defined(__GNUC__)
#define VELTRANO_USB_HACKRF_EXPORT __attribute__((visibility("default")))
#else
#define VELTRANO_USB_HACKRF_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Bytes of the receive stream (and of sweep blocks) the board has delivered.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_rx_bytes_delivered(const char* serial);
// The receive stream's position when the last frequency request arrived.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_rx_position_at_last_tune(const char* serial);
// The receive stream's position when the last sample rate request arrived:
// the receive pattern's bytes from there on were taken at the new rate.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_rx_position_at_last_rate_change(const char* serial);
// Bytes the board has received on its transmit endpoint, counted in full.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_tx_bytes(const char* serial);
// Copies up to capacity of the recorded transmit bytes (the first 64 MiB are
// kept) from offset on; returns how many it copied.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_tx_copy(const char* serial, uint8_t* out, uint64_t offset,
                                                                uint64_t capacity);
// Transfers submitted and not yet completed; transfers allocated and not freed;
// device handles opened and not closed: counted over the whole bus, every
// board's together, so these take no serial.
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transfers_in_flight(void);
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transfers_allocated(void);
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_open_handles(void);
// The transceiver mode last requested: 0 off, 1 receive, 2 transmit, 5 sweep.
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transceiver_mode(const char* serial);
// What the board was last set to: "lna_gain", "vga_gain" and "tx_vga_gain"
// in dB, "baseband_filter" and "sample_rate" in Hz, "amplifier" and
// "antenna_power" 0 or 1; -1 for any other name.
VELTRANO_USB_HACKRF_EXPORT double veltrano_usb_hackrf_setting(const char* serial, const char* name);

// The board leaves the bus, as libusb reports it on Linux: every pending
// transfer completes with LIBUSB_TRANSFER_NO_DEVICE in the next event
// handling, every later request or transfer on a handle opened before returns
// LIBUSB_ERROR_NO_DEVICE (also one waiting on a silent board), and
// libusb_get_device_list no longer lists it. Closing handles and freeing
// transfers still work. The environment variable
// VELTRANO_USB_HACKRF_UNPLUG_AFTER_BYTES=N does the same once N bytes have
// moved on the bulk endpoints (either direction, counted over the process),
// VELTRANO_USB_HACKRF_UNPLUG_AFTER_LISTINGS=N as the listing after the N-th begins.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_unplug(const char* serial);
// The board is back as a new device with the same serial; the handles opened
// before stay dead. Also ends a silence.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_replug(const char* serial);
// While stalled is non-zero the board answers nothing: control requests and
// synchronous bulk transfers end with LIBUSB_ERROR_TIMEOUT after their
// time-out, or wait for ever without one (as libusb does); asynchronous
// transfers complete only at their own time-out (LIBUSB_TRANSFER_TIMED_OUT),
// or when cancelled.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_stall(const char* serial, int stalled);

// The board's sample core as the firmware reports it: "shortfalls",
// "longest_shortfall" (bytes), "shortfall_limit" (bytes), "core_mode" (0 idle,
// 2 receive, 3 and 4 transmit) and "core_error" (1: it gave a receive stream up
// at its limit, 2: a transmit stream); -1 for any other name.
VELTRANO_USB_HACKRF_EXPORT int64_t veltrano_usb_hackrf_core(const char* serial, const char* name);
// Scripts the host holds of every receive stream from the next one on, in
// the text of VELTRANO_USB_HACKRF_RX_HOLDS: "<after bytes>:<milliseconds>"
// entries, comma-separated, each after that many bytes of the stream; the
// host keeps the completed transfers back for the hold, so none is in flight
// and the board falls short. Empty: none.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_hold_host(const char* serial, const char* holds);
// The same for every transmit stream (VELTRANO_USB_HACKRF_TX_HOLDS): the
// host gives the board no transfer for the hold, the core sends its buffer
// out and then zeros, each 32-byte step of them lengthening one underrun.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_hold_host_tx(const char* serial, const char* holds);
// The USB API version the board reports from its next listing on (the
// library reads it when it opens the board).
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_set_usb_api(const char* serial, uint16_t version);
// A pulse on the board's sync input alone, as an outside source would give
// it; returns how many boards it released (1 when the board waited in sync
// mode, else 0), -1 for a serial no HackRF on the bus has.
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_pulse_sync(const char* serial);
// Where the board's running (or last) stream started on a pulse: 1 with the
// instant (ns after the bus started) and the board's sample then, 0 for a
// plain start or a stream still waiting. Its journal says "synced at <ns> sample <n>".
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_synced_start(const char* serial, int64_t* ns, uint64_t* sample);
// Stacks Opera Cakes on the board as at power-on, at the addresses of the
// text ("0,1"; empty: none), each in manual mode with A on A1 and B on B1;
// VELTRANO_USB_HACKRF_OPERACAKES sets the first stack.
VELTRANO_USB_HACKRF_EXPORT void veltrano_usb_hackrf_stack_operacakes(const char* serial, const char* addresses);
// The Opera Cake at this address now: "port_a" and "port_b" (where each
// common port is connected: 0-3 A1-A4, 4-7 B1-B4), "mode" (0 manual, 1
// frequency, 2 time), "ranges" and "dwell_times" (how many the firmware
// took); -1 without a board there or for any other name. Every change and
// every tune also journals "operacake <address> <A port>/<B port>".
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_operacake(const char* serial, uint8_t address, const char* name);

#ifdef __cplusplus
}
#endif
