// SPDX-License-Identifier: MIT
// Stopping while the real library has transfers in flight: every transfer
// comes back, the library's transfer thread ends with the board's handle, and
// nothing is left allocated (LeakSanitizer checks the rest in its leg).
#include "tests/reallib/RealLibHackRf.h"

#include "device/hackrf/HackRfSdrDevice.h"

#include <chrono>
#include <complex>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace veltrano {
namespace {

std::size_t threadCount()
{
    // ThreadSanitizer starts a helper thread of its own along with the
    // process's first thread; start that first thread before counting.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    static_cast<void>(warmedUp);
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

struct StopCase {
    const char* name;
    std::function<bool(HackRfSdrDevice&)> start;
    std::function<void(HackRfSdrDevice&)> stop; // none: the destructor stops it
};

void PrintTo(const StopCase& stopCase, std::ostream* stream)
{
    *stream << stopCase.name;
}

class RealLibStop : public test::RealLibHackRf, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RealLibStop, stoppingWithTransfersInFlightLeavesNoTransferNoThreadAndNoHandle)
{
    const std::size_t threadsBefore = threadCount();
    {
        HackRfSdrDevice device(test::kEmulatedSerial);
        ASSERT_TRUE(GetParam().start(device)) << device.lastError();
        const std::uint64_t rxBefore = veltrano_usb_hackrf_rx_bytes_delivered();
        const std::uint64_t txBefore = veltrano_usb_hackrf_tx_bytes();
        // The stream is running: the board has moved data and more is submitted.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (veltrano_usb_hackrf_rx_bytes_delivered() == rxBefore && veltrano_usb_hackrf_tx_bytes() == txBefore &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(veltrano_usb_hackrf_transfers_in_flight(), 0);

        if (GetParam().stop) {
            GetParam().stop(device);
            EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
            EXPECT_EQ(veltrano_usb_hackrf_transceiver_mode(), 0);
        }
    }
    EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
    EXPECT_EQ(veltrano_usb_hackrf_open_handles(), 0);
    EXPECT_EQ(veltrano_usb_hackrf_transfers_allocated(), 0);
    EXPECT_EQ(threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStream, RealLibStop,
    ::testing::Values(StopCase{"receive",
                               [](HackRfSdrDevice& device) {
                                   return device.configureRx({100e6, 20e6, 15e6, 20.0}) && device.startRx();
                               },
                               [](HackRfSdrDevice& device) { device.stopRx(); }},
                      StopCase{"sweep",
                               [](HackRfSdrDevice& device) {
                                   return device.configureNativeSweep({2.45e9, 20e6, 15e6, 20.0}, 2.4e9, 2.5e9) &&
                                          device.startNativeSweep();
                               },
                               [](HackRfSdrDevice& device) { device.stopRx(); }},
                      StopCase{"transmit",
                               [](HackRfSdrDevice& device) {
                                   return device.configureTx({100e6, 20e6, 15e6, 0.0}) && device.startTx();
                               },
                               [](HackRfSdrDevice& device) { device.stopTx(); }},
                      StopCase{"destructor",
                               [](HackRfSdrDevice& device) {
                                   return device.configureRx({100e6, 20e6, 15e6, 20.0}) && device.startRx();
                               },
                               nullptr}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
