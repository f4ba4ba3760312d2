// SPDX-License-Identifier: MIT
// The board's own shortfalls through Debian's real libhackrf: a host that
// keeps its completed transfers back leaves the board's sample core without
// a transfer to fill, and the core counts it as the firmware does (one
// shortfall per hold, its length the bytes past the core's 32 KiB buffer in
// 32-byte steps). The device layer and the module read the counts; a limit
// makes the board give the stream up, and the stream ends with words; a
// board older than USB API 0x0106 keeps no counts and takes no limit.
#include "tests/support/ThroughInterface.h"
#include "tests/reallib/RealLibHackRf.h"

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
#include "tests/soapy/SoapyFixture.h"
#endif

#include <string>

namespace veltrano {
namespace {

// 10 MS/s: the board moves 20,000 bytes per millisecond.
constexpr double kRateHz = 10e6;
constexpr std::uint64_t kBytesPerMs = 20'000;

class RealLibShortfall : public test::RealLibHackRf {
protected:
    void TearDown() override { veltrano_usb_hackrf_hold_host(""); }

    // Receives until the board's stream has reached this position (counted
    // over the process, the lost bytes included), then stops.
    static void receiveUntilBoardPassed(HackRfSdrDevice& device, std::uint64_t boardBytes)
    {
        std::vector<std::uint8_t> bytes(131072);
        ASSERT_TRUE(test::eventually([&] {
            static_cast<void>(device.readNativeSamples(bytes.data(), bytes.size() / 2));
            return veltrano_usb_hackrf_rx_bytes_delivered() >= boardBytes || !device.lastError().empty();
        }));
        EXPECT_EQ(device.lastError(), "");
        device.stopRx();
    }
};

struct HoldCase {
    const char* name;
    const char* holds;
    std::uint64_t lastHoldAt;
    std::uint64_t shortfalls;
    std::uint64_t longestBytes;
};

const HoldCase kHoldCases[] = {
    // 20 ms: 400,000 bytes due, 32,768 kept, 367,232 lost (a whole number of steps).
    {"oneHold", "2097152:20", 2097152, 1, 20 * kBytesPerMs - 32768},
    {"twoHoldsTheLongerLast", "2097152:20,6291456:50", 6291456, 2, 50 * kBytesPerMs - 32768},
    {"twoHoldsTheLongerFirst", "2097152:50,6291456:20", 6291456, 2, 50 * kBytesPerMs - 32768},
    // 1 ms is 20,000 bytes: the core's buffer takes them all.
    {"aHoldTheCoresBufferAbsorbs", "2097152:1", 2097152, 0, 0},
};

class RealLibHoldCount : public RealLibShortfall, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(RealLibHoldCount, theBoardCountsEveryHoldItCouldNotBufferWithItsLongestRun)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    veltrano_usb_hackrf_hold_host(GetParam().holds);
    const std::uint64_t start = veltrano_usb_hackrf_rx_bytes_delivered();
    ASSERT_TRUE(device.configureRx({100e6, kRateHz, 0.0, 20.0}) && device.startRx()) << device.lastError();
    EXPECT_EQ(test::lossesOf(device).rxBoardShortfalls, std::optional<std::uint64_t>(0));
    // Past the last hold even with the lost bytes (under 2 MiB) counted in.
    receiveUntilBoardPassed(device, start + GetParam().lastHoldAt + 2'097'152);
    EXPECT_EQ(test::lossesOf(device).rxBoardShortfalls, GetParam().shortfalls);
    EXPECT_EQ(test::lossesOf(device).rxBoardLongestShortfallBytes, GetParam().longestBytes);
    EXPECT_EQ(veltrano_usb_hackrf_core("shortfalls"), static_cast<std::int64_t>(GetParam().shortfalls));
}

INSTANTIATE_TEST_SUITE_P(Holds, RealLibHoldCount, ::testing::ValuesIn(kHoldCases),
                         [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

TEST_F(RealLibShortfall, aShortfallReachingTheOverrunLimitStopsTheStreamWithWordsAndTheNextStreamRunsFree)
{
    HackRfSdrDevice device(test::kEmulatedSerial);
    veltrano_usb_hackrf_hold_host("1048576:50");
    ASSERT_TRUE(device.setRxOverrunLimit(100'000)) << device.lastError();
    ASSERT_TRUE(device.configureRx({100e6, kRateHz, 0.0, 20.0}) && device.startRx()) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_core("shortfall_limit"), 100'000);
    std::vector<std::uint8_t> bytes(131072);
    ASSERT_TRUE(test::eventually([&] {
        static_cast<void>(device.readNativeSamples(bytes.data(), bytes.size() / 2));
        return !device.lastError().empty();
    }));
    // The core stops on the first 32-byte step that reaches the limit.
    EXPECT_EQ(device.lastError(), "RX stream stopped: the board fell 100000 bytes behind, reaching its overrun "
                                  "limit of 100000 bytes");
    EXPECT_EQ(veltrano_usb_hackrf_core("core_error"), 1);
    EXPECT_EQ(device.readNativeSamples(bytes.data(), bytes.size() / 2), 0u);
    device.stopRx();
    EXPECT_EQ(test::lossesOf(device).rxBoardShortfalls, 1u);

    ASSERT_TRUE(device.setRxOverrunLimit(0));
    veltrano_usb_hackrf_hold_host("");
    ASSERT_TRUE(device.configureRx({100e6, kRateHz, 0.0, 20.0}) && device.startRx()) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_core("shortfall_limit"), 0);
    receiveUntilBoardPassed(device, veltrano_usb_hackrf_rx_bytes_delivered() + 2'097'152);
    EXPECT_EQ(test::lossesOf(device).rxBoardShortfalls, 0u);
}

TEST_F(RealLibShortfall, aBoardOlderThanUsbApi0106KeepsNoCountsAndTakesNoLimit)
{
    veltrano_usb_hackrf_set_usb_api(0x0105);
    struct Restore {
        ~Restore() { veltrano_usb_hackrf_set_usb_api(0x0107); }
    } restore;
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_EQ(device.usbApiVersion(), 0x0105);
    EXPECT_FALSE(device.setRxOverrunLimit(65536));
    EXPECT_EQ(device.lastError(), "RX overrun limit: the board's USB API is older than 0x0106");
    EXPECT_TRUE(device.setRxOverrunLimit(0)) << "no limit is always possible";
    ASSERT_TRUE(device.configureRx({100e6, kRateHz, 0.0, 20.0}) && device.startRx()) << device.lastError();
    receiveUntilBoardPassed(device, veltrano_usb_hackrf_rx_bytes_delivered() + 1'048'576);
    EXPECT_EQ(test::lossesOf(device).rxBoardShortfalls, std::nullopt);
    EXPECT_EQ(test::lossesOf(device).rxBoardLongestShortfallBytes, std::nullopt);
}

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
// Through the module: one overflow report per shortfall, the count as a setting,
// the limit as a device argument.
TEST_F(RealLibShortfall, theModuleReportsOneOverflowPerShortfallAndReadsTheCount)
{
    const test::OnlyOurSoapyModule onlyOurs;
    veltrano_usb_hackrf_hold_host("2097152:20,8388608:20");
    const test::SoapyDevicePointer device(SoapySDR::Device::make(
        std::string("driver=veltrano,rx_overrun_limit=1000000,serial=") + test::kEmulatedSerial));
    EXPECT_EQ(device->readSetting("rx_overrun_limit"), "1000000");
    device->setSampleRate(SOAPY_SDR_RX, 0, kRateHz);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS8);
    ASSERT_EQ(device->activateStream(stream), 0);
    EXPECT_EQ(veltrano_usb_hackrf_core("shortfall_limit"), 1'000'000);
    const std::uint64_t start = veltrano_usb_hackrf_rx_bytes_delivered();
    std::vector<std::int8_t> samples(2 * 65536);
    void* buffers[] = {samples.data()};
    int overflows = 0;
    ASSERT_TRUE(test::eventually([&] {
        int flags = 0;
        long long timeNs = 0;
        overflows += device->readStream(stream, buffers, 65536, flags, timeNs, 100'000) == SOAPY_SDR_OVERFLOW;
        return veltrano_usb_hackrf_rx_bytes_delivered() >= start + 8388608 + 4194304;
    }));
    EXPECT_EQ(device->readSetting("rx_board_shortfalls"), "2");
    // The ring may overflow too on a loaded machine, with its own count; a
    // ring loss that comes to the reader at the same read as a shortfall
    // shares its report.
    const int ringOverflows = std::stoi(device->readSetting("rx_ring_overflows"));
    EXPECT_GE(overflows, 2);
    EXPECT_LE(overflows, 2 + ringOverflows);
    device->deactivateStream(stream);
    device->closeStream(stream);
}
#endif

} // namespace
} // namespace veltrano
