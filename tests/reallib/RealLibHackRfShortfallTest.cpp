// SPDX-License-Identifier: MIT
// The board's own shortfalls through Debian's real libhackrf: a host that
// keeps its completed transfers back leaves the board's sample core without
// a transfer to fill (receive) or to send (transmit), and the core counts it
// as the firmware does (one shortfall per hold, its length the bytes past
// the core's 32 KiB buffer in 32-byte steps). The device layer and the module read the counts; a limit
// makes the board give the stream up, and the stream ends with words; a
// board older than USB API 0x0106 keeps no counts and takes no limit.
#include "tests/reallib/RealLibHackRf.h"

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
#include "tests/soapy/SoapyFixture.h"
#endif

#include <stop_token>
#include <string>

namespace veltrano {
namespace {

// 10 MS/s: the board moves 20,000 bytes per millisecond.
constexpr double kRateHz = 10e6;
constexpr std::uint64_t kBytesPerMs = 20'000;
constexpr StreamConfig kStream{100e6, kRateHz, 8e6, 20.0};

// What differs between the two directions of the board's counts.
struct Side {
    const char* name;
    StreamDirection direction;
    void (*holdHost)(const char* serial, const char* holds);
    // Bytes the board moved on this side, counted over the process.
    std::uint64_t (*boardBytes)();
};

const Side kReceive{"receive", StreamDirection::rx, veltrano_usb_hackrf_hold_host,
                    [] { return static_cast<std::uint64_t>(veltrano_usb_hackrf_rx_bytes_delivered(nullptr)); }};
const Side kTransmit{"transmit", StreamDirection::tx, veltrano_usb_hackrf_hold_host_tx,
                     [] { return static_cast<std::uint64_t>(veltrano_usb_hackrf_tx_bytes(nullptr)); }};

bool startStream(HackRfSdrDevice& device, const Side& side)
{
    return side.direction == StreamDirection::rx ? device.configureRx(kStream) && device.startRx()
                                                 : device.configureTx(kStream) && device.startTx();
}

void stopStream(HackRfSdrDevice& device, const Side& side)
{
    side.direction == StreamDirection::rx ? device.stopRx() : device.stopTx();
}

// One read or one write of the stream, whatever it takes.
void moveSamples(HackRfSdrDevice& device, const Side& side)
{
    static std::vector<std::uint8_t> bytes(131072);
    static_cast<void>(side.direction == StreamDirection::rx
                          ? device.readNativeSamples(bytes.data(), bytes.size() / 2)
                          : device.writeNativeSamples(bytes.data(), bytes.size() / 2));
}

// The board's counts, as any client of ISdrDevice reads them.
std::optional<std::uint64_t> boardCount(const ISdrDevice& device, const Side& side)
{
    const StreamLosses losses = device.streamLosses();
    return side.direction == StreamDirection::rx ? losses.rxBoardShortfalls : losses.txBoardUnderruns;
}

std::optional<std::uint64_t> boardLongest(const ISdrDevice& device, const Side& side)
{
    const StreamLosses losses = device.streamLosses();
    return side.direction == StreamDirection::rx ? losses.rxBoardLongestShortfallBytes
                                                 : losses.txBoardLongestUnderrunBytes;
}

bool setBoardLimit(ISdrDevice& device, const Side& side, std::uint32_t bytes)
{
    return device.setBoardLossLimit(side.direction, bytes);
}

class RealLibShortfall : public test::RealLibHackRf {
protected:
    void TearDown() override
    {
        veltrano_usb_hackrf_hold_host(nullptr, "");
        veltrano_usb_hackrf_hold_host_tx(nullptr, "");
    }

    // Streams until the board has moved this many bytes on the side (counted
    // over the process, lost receive bytes included), then stops.
    static void streamUntilBoardPassed(HackRfSdrDevice& device, const Side& side, std::uint64_t boardBytes)
    {
        ASSERT_TRUE(test::eventually([&] {
            moveSamples(device, side);
            return side.boardBytes() >= boardBytes || !device.lastError().empty();
        }));
        EXPECT_EQ(device.lastError(), "");
        stopStream(device, side);
    }
};

struct HoldCase {
    const char* name;
    const Side* side;
    const char* holds;
    std::uint64_t lastHoldAt;
    std::uint64_t shortfalls;
    std::uint64_t longestBytes;
};

// Receiving, the core keeps 32 KiB of a hold's bytes and loses the rest;
// transmitting, it sends the 32 KiB it holds and then zeros for the rest.
const HoldCase kHoldCases[] = {
    // 20 ms: 400,000 bytes due, 32,768 kept, 367,232 lost (a whole number of steps).
    {"oneHold", &kReceive, "2097152:20", 2097152, 1, 20 * kBytesPerMs - 32768},
    {"twoHoldsTheLongerLast", &kReceive, "2097152:20,6291456:50", 6291456, 2, 50 * kBytesPerMs - 32768},
    {"twoHoldsTheLongerFirst", &kReceive, "2097152:50,6291456:20", 6291456, 2, 50 * kBytesPerMs - 32768},
    // 1 ms is 20,000 bytes: the core's buffer takes them all.
    {"aHoldTheCoresBufferAbsorbs", &kReceive, "2097152:1", 2097152, 0, 0},
    {"oneTransmitHold", &kTransmit, "2097152:20", 2097152, 1, 20 * kBytesPerMs - 32768},
    {"twoTransmitHoldsTheLongerFirst", &kTransmit, "2097152:50,6291456:20", 6291456, 2, 50 * kBytesPerMs - 32768},
    {"aTransmitHoldTheCoresBufferCovers", &kTransmit, "2097152:1", 2097152, 0, 0},
};

class RealLibHoldCount : public RealLibShortfall, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(RealLibHoldCount, theBoardCountsEveryHoldItCouldNotBufferWithItsLongestRun)
{
    const Side& side = *GetParam().side;
    HackRfSdrDevice device(test::kEmulatedSerial);
    side.holdHost(nullptr, GetParam().holds);
    const std::uint64_t start = side.boardBytes();
    ASSERT_TRUE(startStream(device, side)) << device.lastError();
    EXPECT_EQ(boardCount(device, side), std::optional<std::uint64_t>(0));
    // Past the last hold even with the lost bytes (under 2 MiB) counted in.
    streamUntilBoardPassed(device, side, start + GetParam().lastHoldAt + 2'097'152);
    EXPECT_EQ(boardCount(device, side), GetParam().shortfalls);
    EXPECT_EQ(boardLongest(device, side), GetParam().longestBytes);
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "shortfalls"), static_cast<std::int64_t>(GetParam().shortfalls));
}

INSTANTIATE_TEST_SUITE_P(Holds, RealLibHoldCount, ::testing::ValuesIn(kHoldCases),
                         [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

struct LimitCase {
    const Side* side;
    const char* stopped;
    std::int64_t coreError;
    const char* tooOld;
};

const LimitCase kLimitCases[] = {
    {&kReceive, "RX stream stopped: the board fell 100000 bytes behind, reaching its overrun limit of 100000 bytes", 1,
     "RX overrun limit: the board's USB API is older than 0x0106"},
    {&kTransmit, "TX stream stopped: the board fell 100000 bytes behind, reaching its underrun limit of 100000 bytes",
     2, "TX underrun limit: the board's USB API is older than 0x0106"},
};

class RealLibLimit : public RealLibShortfall, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(RealLibLimit, aShortfallReachingTheLimitStopsTheStreamWithWordsAndTheNextStreamRunsFree)
{
    const Side& side = *GetParam().side;
    HackRfSdrDevice device(test::kEmulatedSerial);
    side.holdHost(nullptr, "1048576:50");
    ASSERT_TRUE(setBoardLimit(device, side, 100'000)) << device.lastError();
    ASSERT_TRUE(startStream(device, side)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "shortfall_limit"), 100'000);
    ASSERT_TRUE(test::eventually([&] {
        moveSamples(device, side);
        return !device.lastError().empty();
    }));
    // The core stops on the first 32-byte step that reaches the limit.
    EXPECT_EQ(device.lastError(), GetParam().stopped);
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "core_error"), GetParam().coreError);
    std::vector<std::uint8_t> bytes(131072);
    if (side.direction == StreamDirection::rx) {
        EXPECT_EQ(device.readNativeSamples(bytes.data(), bytes.size() / 2), 0u);
    } else {
        EXPECT_EQ(device.writeNativeSamples(bytes.data(), bytes.size() / 2), 0u);
        EXPECT_FALSE(device.drainTx(std::stop_token())) << "no flush comes from a board that gave up";
        EXPECT_EQ(device.lastError(), GetParam().stopped);
    }
    stopStream(device, side);
    EXPECT_EQ(boardCount(device, side), 1u);

    ASSERT_TRUE(setBoardLimit(device, side, 0));
    side.holdHost(nullptr, "");
    ASSERT_TRUE(startStream(device, side)) << device.lastError();
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "shortfall_limit"), 0);
    streamUntilBoardPassed(device, side, side.boardBytes() + 2'097'152);
    EXPECT_EQ(boardCount(device, side), 0u);
}

TEST_P(RealLibLimit, aBoardOlderThanUsbApi0106KeepsNoCountsAndTakesNoLimit)
{
    const Side& side = *GetParam().side;
    veltrano_usb_hackrf_set_usb_api(nullptr, 0x0105);
    struct Restore {
        ~Restore() { veltrano_usb_hackrf_set_usb_api(nullptr, 0x0107); }
    } restore;
    HackRfSdrDevice device(test::kEmulatedSerial);
    ASSERT_EQ(device.usbApiVersion(), 0x0105);
    EXPECT_FALSE(setBoardLimit(device, side, 65536));
    EXPECT_EQ(device.lastError(), GetParam().tooOld);
    EXPECT_TRUE(setBoardLimit(device, side, 0)) << "no limit is always possible";
    ASSERT_TRUE(startStream(device, side)) << device.lastError();
    streamUntilBoardPassed(device, side, side.boardBytes() + 1'048'576);
    EXPECT_EQ(boardCount(device, side), std::nullopt);
    EXPECT_EQ(boardLongest(device, side), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Sides, RealLibLimit, ::testing::ValuesIn(kLimitCases),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                             return std::string(info.param.side->name);
                         });

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
// Through the module: one overflow report per shortfall, the count as a setting,
// the limit as a device argument.
TEST_F(RealLibShortfall, theModuleReportsOneOverflowPerShortfallAndReadsTheCount)
{
    const test::OnlyOurSoapyModule onlyOurs;
    veltrano_usb_hackrf_hold_host(nullptr, "2097152:20,8388608:20");
    const test::SoapyDevicePointer device(SoapySDR::Device::make(
        std::string("driver=veltrano,rx_overrun_limit=1000000,serial=") + test::kEmulatedSerial));
    EXPECT_EQ(device->readSetting("rx_overrun_limit"), "1000000");
    device->setSampleRate(SOAPY_SDR_RX, 0, kRateHz);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS8);
    ASSERT_EQ(device->activateStream(stream), 0);
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "shortfall_limit"), 1'000'000);
    const std::uint64_t start = veltrano_usb_hackrf_rx_bytes_delivered(nullptr);
    std::vector<std::int8_t> samples(2 * 65536);
    void* buffers[] = {samples.data()};
    int overflows = 0;
    ASSERT_TRUE(test::eventually([&] {
        int flags = 0;
        long long timeNs = 0;
        overflows += device->readStream(stream, buffers, 65536, flags, timeNs, 100'000) == SOAPY_SDR_OVERFLOW;
        // A reader slowed by a loaded machine may get to the board's counts
        // late, and both at once: each still gets its report, at the reads
        // that follow.
        return veltrano_usb_hackrf_rx_bytes_delivered(nullptr) >= start + 8388608 + 4194304 &&
               device->readSetting("rx_board_shortfalls") == "2" && overflows >= 2;
    }));
    // The ring may overflow too on a loaded machine, with its own count; a
    // ring loss that comes to the reader at the same read as a shortfall
    // shares its report.
    const int ringOverflows = std::stoi(device->readSetting("rx_ring_overflows"));
    EXPECT_LE(overflows, 2 + ringOverflows);
    device->deactivateStream(stream);
    device->closeStream(stream);
}

TEST_F(RealLibShortfall, theModuleReportsOneUnderflowPerBoardUnderrunAlsoWhenBothAreReadAtOnce)
{
    const test::OnlyOurSoapyModule onlyOurs;
    // Both within the first 2 MiB: the 3 MiB queued below outlast them.
    veltrano_usb_hackrf_hold_host_tx(nullptr, "1048576:20,1572864:20");
    const test::SoapyDevicePointer device(SoapySDR::Device::make(
        std::string("driver=veltrano,tx_underrun_limit=1000000,serial=") + test::kEmulatedSerial));
    EXPECT_EQ(device->readSetting("tx_underrun_limit"), "1000000");
    device->setSampleRate(SOAPY_SDR_TX, 0, kRateHz);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CS8);
    ASSERT_EQ(device->activateStream(stream), 0);
    std::vector<std::int8_t> samples(2 * 65536);
    const void* buffers[] = {samples.data()};
    const std::uint64_t start = veltrano_usb_hackrf_tx_bytes(nullptr);
    // A report comes from a status read that found the losses moved since the
    // one before: the board's count moved (each underrun its own report), or
    // the ring ran dry (its silence counted in tx_underrun_bytes, as at the
    // stream's start or on a loaded machine), which the reads tell.
    int underflows = 0;
    int ringMoves = 0;
    std::string ringBytes = "0";
    const auto writeAndLook = [&] {
        int flags = 0;
        long long timeNs = 0;
        // The board frees room every 13 ms, 33 ms across a hold: a second
        // leaves ThreadSanitizer and a busy core room enough.
        EXPECT_GE(device->writeStream(stream, buffers, 65536, flags, timeNs, 1'000'000), 0);
        std::size_t mask = 0;
        underflows += device->readStreamStatus(stream, mask, flags, timeNs, 0) == SOAPY_SDR_UNDERFLOW;
        const std::string nowRingBytes = device->readSetting("tx_underrun_bytes");
        ringMoves += nowRingBytes != ringBytes;
        ringBytes = nowRingBytes;
    };
    for (int chunk = 0; chunk < 24; ++chunk) {
        writeAndLook();
    }
    // The writer pauses until the board has counted both underruns: the
    // device layer then reads both at its next write.
    ASSERT_TRUE(test::eventually([] { return veltrano_usb_hackrf_core(nullptr, "shortfalls") == 2; }));
    ASSERT_TRUE(test::eventually([&] {
        writeAndLook();
        return veltrano_usb_hackrf_tx_bytes(nullptr) >= start + 4194304 &&
               device->readSetting("tx_board_shortfalls") == "2" && underflows >= 2;
    }));
    EXPECT_EQ(veltrano_usb_hackrf_core(nullptr, "shortfall_limit"), 1'000'000);
    EXPECT_LE(underflows, 2 + ringMoves);
    device->deactivateStream(stream);
    device->closeStream(stream);
}
#endif

} // namespace
} // namespace veltrano
