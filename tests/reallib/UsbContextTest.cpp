// SPDX-License-Identifier: MIT
// The libusb stand-in keeps libusb's rule for contexts: a transfer completes
// only in the event handling of the context its handle was opened in, and an
// interrupt reaches that context's handler alone. Host libraries rely on it:
// each libbladeRF device has a context and a thread of its own, and a
// callback run on another device's thread would race the device's own
// submissions.

#include <UsbHackRfInspection.h>
#include <libusb-1.0/libusb.h>

#include <gtest/gtest.h>

#include <cstdint>

#include <sys/time.h>

namespace {

// As libhackrf has them: the HackRF's receive endpoint and its vendor request
// for the transceiver mode (1: receive, 0: off).
constexpr unsigned char kReceiveEndpoint = 0x81;
constexpr std::uint8_t kSetTransceiverMode = 1;

void countCompletion(libusb_transfer* transfer)
{
    ++*static_cast<int*>(transfer->user_data);
}

TEST(UsbContexts, aTransferCompletesOnlyInItsOwnContextsEventHandling)
{
    libusb_context* own = nullptr;
    libusb_context* other = nullptr;
    ASSERT_EQ(libusb_init(&own), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_init(&other), LIBUSB_SUCCESS);
    libusb_device** list = nullptr;
    ASSERT_GT(libusb_get_device_list(own, &list), 0);
    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(list[0], &handle), LIBUSB_SUCCESS);
    libusb_free_device_list(list, 1);
    ASSERT_EQ(libusb_control_transfer(handle, LIBUSB_REQUEST_TYPE_VENDOR, kSetTransceiverMode, 1, 0, nullptr, 0, 1000),
              0);

    // 256 samples at the board's 10 MS/s: due within microseconds.
    unsigned char buffer[512];
    int completions = 0;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(transfer, handle, kReceiveEndpoint, buffer, sizeof buffer, countCompletion,
                              &completions, 1000);
    ASSERT_EQ(libusb_submit_transfer(transfer), LIBUSB_SUCCESS);
    timeval wait{0, 100'000};
    EXPECT_EQ(libusb_handle_events_timeout(other, &wait), LIBUSB_SUCCESS);
    EXPECT_EQ(completions, 0) << "completed on another context's thread";
    EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 1);

    // Interrupting the other context leaves this one's handler waiting for its transfer.
    libusb_interrupt_event_handler(other);
    wait = {1, 0};
    EXPECT_EQ(libusb_handle_events_timeout(own, &wait), LIBUSB_SUCCESS);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(transfer->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(transfer->actual_length, static_cast<int>(sizeof buffer));

    libusb_free_transfer(transfer);
    EXPECT_EQ(libusb_control_transfer(handle, LIBUSB_REQUEST_TYPE_VENDOR, kSetTransceiverMode, 0, 0, nullptr, 0, 1000),
              0);
    libusb_close(handle);
    libusb_exit(other);
    libusb_exit(own);
}

} // namespace
