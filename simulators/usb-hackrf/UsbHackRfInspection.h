// SPDX-License-Identifier: MIT
#pragma once

// What a test (or any program that loads the emulated board) can ask the
// board itself. Link the emulator library, or look the functions up with
// dlsym in the libusb-1.0.so.0 the process loaded.

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
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_rx_bytes_delivered(void);
// The receive stream's position when the last frequency request arrived.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_rx_position_at_last_tune(void);
// Bytes the board has received on its transmit endpoint, counted in full.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_tx_bytes(void);
// Copies up to capacity of the recorded transmit bytes (the first 64 MiB are
// kept) from offset on; returns how many it copied.
VELTRANO_USB_HACKRF_EXPORT uint64_t veltrano_usb_hackrf_tx_copy(uint8_t* out, uint64_t offset, uint64_t capacity);
// Transfers submitted and not yet completed; transfers allocated and not freed;
// device handles opened and not closed.
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transfers_in_flight(void);
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transfers_allocated(void);
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_open_handles(void);
// The transceiver mode last requested: 0 off, 1 receive, 2 transmit, 5 sweep.
VELTRANO_USB_HACKRF_EXPORT int veltrano_usb_hackrf_transceiver_mode(void);

#ifdef __cplusplus
}
#endif
