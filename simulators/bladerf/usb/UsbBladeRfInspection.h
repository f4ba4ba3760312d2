// SPDX-License-Identifier: MIT
#pragma once

// What a test (or any program that loads the emulated bladeRF) can ask the
// board itself, and the faults it can make the board have. Link the emulator library, or look the functions up with
// dlsym in the libusb-1.0.so.0 the process loaded.
//
// Each function's first argument names the bladeRF it addresses by its
// serial; null or empty: the first bladeRF on the bus. A serial no bladeRF on
// the bus has reads as 0 (-1 where a name is looked up) and takes no fault.

#include <stdint.h>

#if defined(__GNUC__)
#define VELTRANO_USB_BLADERF_EXPORT __attribute__((visibility("default")))
#else
#define VELTRANO_USB_BLADERF_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Receive samples the board delivered, and samples it lost because the host
// fell further behind than the board buffers.
VELTRANO_USB_BLADERF_EXPORT uint64_t veltrano_usb_bladerf_rx_samples_delivered(const char* serial);
VELTRANO_USB_BLADERF_EXPORT uint64_t veltrano_usb_bladerf_rx_samples_dropped(const char* serial);
// Both count sample periods: a pair of a two-channel stream is one.
// A receive FIFO overflow, forced: the board's next receive transfer starts
// `periods` sample periods later than it would, and they count as dropped
// (journalled "overrun rx <timestamp> lost <periods>" as any loss).
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_rx_skip(const char* serial, uint64_t periods);
// A receive stream paced by the host as well as the clock, until called
// again with 0: the board's FIFO never overflows of itself (rx_skip still
// forces it to), and once it has delivered `delivered` sample periods in all
// (rx_samples_delivered) it holds its receive transfers until the limit
// rises. A reader that lets the board run only as far ahead as the library
// buffers loses nothing however late it reads.
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_rx_hold_beyond(const char* serial, uint64_t delivered);
// Samples (sample periods) the board took from its transmit endpoint.
VELTRANO_USB_BLADERF_EXPORT uint64_t veltrano_usb_bladerf_tx_samples(const char* serial);
// The FPGA's sample counter now: 0 receive, 1 transmit.
VELTRANO_USB_BLADERF_EXPORT uint64_t veltrano_usb_bladerf_timestamp(const char* serial, int direction);
// Retunes the FPGA applied since the process started; the index-th of them
// (0 when there is none such, else 1): direction (0 receive, 1 transmit), the
// counter value at which it took effect and the timestamp it asked for (0: now).
VELTRANO_USB_BLADERF_EXPORT uint64_t veltrano_usb_bladerf_retunes_applied(const char* serial);
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_retune(const char* serial, uint64_t index, int* direction,
                                                            uint64_t* applied_at, uint64_t* requested_at);
// The PLL words (the x40's LMS6002D: NINT and NFRAC) the receiver had when
// it made the sample at this device timestamp: 1, or 0 before any tuning.
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_rx_tuning_at(const char* serial, uint64_t timestamp,
                                                                  uint32_t* nint, uint32_t* nfrac);
// What the host last wrote to the bladeRF's settings: an LMS6002D
// register (x40: gains, filters), the 2.0 micro's RF front-end control word
// (its bias tees are bits 5, receive, and 10, transmit) and the value of one
// of the micro's RFIC commands (command number, channel: 0 RX0, 1 TX0, 2 RX1,
// 3 TX1, 0xF none).
// When the library drives the micro's AD9361 itself (its host tuning mode)
// the RFIC commands 3 (sample rate, Hz), 4 (frequency, Hz), 5 (bandwidth,
// Hz, receive only), 6 (receive gain control, numbered as libbladeRF's gain
// modes: 1 manual, 2 fast attack, 3 slow attack, 4 hybrid AGC) and 7 (gain:
// receive the full stage in dB, the AGC's under automatic gain control,
// transmit minus the attenuation in mdB; 6 and 7 each channel's own
// registers) answer what the chip's registers put in force, and each call first journals what the chip traffic changed
// since the last line ("ad9361 rx frequency=… samplerate=… bandwidth=… gain=…", then " agc=slow" or the like under
// automatic gain control).
VELTRANO_USB_BLADERF_EXPORT uint8_t veltrano_usb_bladerf_lms_register(const char* serial, uint8_t address);
VELTRANO_USB_BLADERF_EXPORT uint32_t veltrano_usb_bladerf_rffe_control(const char* serial);
VELTRANO_USB_BLADERF_EXPORT int64_t veltrano_usb_bladerf_rfic(const char* serial, unsigned command, unsigned channel);
// The x40's expansion port with an XB-200 on it, as the host and the
// retunes last set it: "gpio" (the whole word), "directions", "rx_path" and
// "tx_path" (1 through the mixer, 2 bypassed, 0 neither), "rx_filter" and
// "tx_filter" (0 50M, 1 144M, 2 222M, 3 custom); -1 for any other name.
// Masked writes keep the bits outside their mask; the journal has
// "xb200 rx path=... filter=... tx path=... filter=..." after each change.
VELTRANO_USB_BLADERF_EXPORT int64_t veltrano_usb_bladerf_xb200(const char* serial, const char* name);
// The rate the board's sample counter runs at now: 0 receive, 1 transmit.
VELTRANO_USB_BLADERF_EXPORT double veltrano_usb_bladerf_sample_rate(const char* serial, int direction);
// The micro's AD9361 faults, until called again: while pll_never_locks is
// non-zero neither its baseband PLL nor its RF synthesizers report lock;
// while calibration_never_ends is non-zero no calibration clears its bit.
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_rfic_faults(const char* serial, int pll_never_locks,
                                                                  int calibration_never_ends);
// The trigger line every bladeRF on the bus shares (each direction's FPGA
// trigger control register drives it): the board's latest fire, as the bus's
// instant (nanoseconds since the bus started, from which every board counts)
// and the tick its direction started at, journalled "triggered at <ns> tick
// <t>" on each board the fire started; 0, or -1 before any fire.
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_triggered(const char* serial, uint64_t* bus_ns, uint64_t* tick);
// What is wired to the board's clock input, replacing what its variables
// (<prefix>_REFERENCE_HZ, <prefix>_REFERENCE_FROM) wired: a reference of hz
// (0: none), or the clock out of the board with from_serial (null or empty:
// none), which is 38.4 MHz while that board has it on.
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_wire_reference(const char* serial, uint64_t hz,
                                                                     const char* from_serial);
// The board's clock as its registers stand: "pll_enabled", "pll_reference_hz"
// (the reference its R and N counters expect), "pll_locked" (the lock detect
// the micro's RF front-end control word reads: the PLL runs and the wired
// reference is there at that frequency), "clock_select" (1: the clock input
// rather than the oscillator), "clock_output", and the x40's "tamer_mode"
// (libbladeRF's numbering; the library reads no tamer lock); -1 otherwise.
VELTRANO_USB_BLADERF_EXPORT int64_t veltrano_usb_bladerf_clock(const char* serial, const char* name);
// Transfers submitted and not yet completed; transfers allocated and not freed;
// device handles opened and not closed (over the whole emulated bus).
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_transfers_in_flight(void);
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_transfers_allocated(void);
VELTRANO_USB_BLADERF_EXPORT int veltrano_usb_bladerf_open_handles(void);

// The board's faults, exactly as the HackRF's (UsbHackRfInspection.h): it
// leaves the bus (transfers in flight complete with LIBUSB_TRANSFER_NO_DEVICE
// in the next event handling, every later request, NIOS packet or submission
// on a handle opened before returns LIBUSB_ERROR_NO_DEVICE, and the device
// list no longer shows it), comes back as a new device with the same serial
// (old handles stay dead), or, while stalled is non-zero, answers nothing:
// control requests and the NIOS II packets on 0x02/0x82 end with
// LIBUSB_ERROR_TIMEOUT after their time-out, sample transfers complete only at
// their own time-out or when cancelled. VELTRANO_USB_BLADERF_UNPLUG_AFTER_BYTES=N
// unplugs it once N bytes have moved on its sample endpoints (either
// direction, counted over the process), VELTRANO_USB_BLADERF_UNPLUG_AFTER_LISTINGS=N
// as the listing after the N-th begins.
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_unplug(const char* serial);
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_replug(const char* serial);
VELTRANO_USB_BLADERF_EXPORT void veltrano_usb_bladerf_stall(const char* serial, int stalled);

#ifdef __cplusplus
}
#endif
