// SPDX-License-Identifier: MIT
// Two HackRF Ones on one emulated bus (usb-several), the first one's sync
// output cabled to both sync inputs, driven by Debian's real libhackrf: the
// sync mode, core state, clock-out and clock-in requests as the firmware
// answers them, and streams that start on one instant.
#include "tests/reallib/RealLibHackRf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::test {
namespace {

constexpr const char* kSecondSerial = "00000000000000002b6e2e5f457863c8";
constexpr double kRateA = 2e6;
constexpr double kRateB = 2.5e6;

struct SyncedStart {
    std::int64_t ns = 0;
    std::uint64_t sample = 0;
};

std::optional<SyncedStart> syncedStart(const char* serial)
{
    SyncedStart start;
    if (veltrano_usb_hackrf_synced_start(serial, &start.ns, &start.sample) != 1) {
        return std::nullopt;
    }
    return start;
}

// The board's receive pattern from this byte on: byte p is byte p % 4 of the
// little-endian number p / 4.
std::vector<std::uint8_t> patternFrom(std::uint64_t position, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint64_t at = position + index;
        bytes[index] = static_cast<std::uint8_t>((at / 4) >> (8 * (at % 4)));
    }
    return bytes;
}

class RealLibHackRfSync : public RealLibHackRf {
protected:
    static void arm(HackRfSdrDevice& board, TriggerRole role)
    {
        ASSERT_TRUE(board.setTrigger(StreamDirection::rx, role, "")) << board.lastError();
        ASSERT_TRUE(board.armTrigger(StreamDirection::rx, true)) << board.lastError();
    }
};

// Whichever pulses the wire, the first board's start or an outside source on
// each input, every released board starts on the instant of its pulse and
// delivers its pattern from its own sample at that instant.
struct PulseCase {
    const char* name;
    bool masterStarts;
};

class RealLibHackRfSyncPulse : public RealLibHackRfSync, public ::testing::WithParamInterface<PulseCase> {};

TEST_P(RealLibHackRfSyncPulse, BoardsStartOnThePulse)
{
    HackRfSdrDevice a(kEmulatedSerial);
    HackRfSdrDevice b(kSecondSerial);
    ASSERT_TRUE(a.configureRx({100e6, kRateA, 1.75e6, 20.0})) << a.lastError();
    ASSERT_TRUE(b.configureRx({100e6, kRateB, 1.75e6, 20.0})) << b.lastError();
    arm(b, TriggerRole::slave);
    ASSERT_TRUE(b.startRx()) << b.lastError(); // the core state showed the wait
    EXPECT_FALSE(b.triggerState(StreamDirection::rx)->fired);
    EXPECT_EQ(syncedStart(kSecondSerial), std::nullopt);
    EXPECT_EQ(veltrano_usb_hackrf_rx_bytes_delivered(kSecondSerial), 0U);
    if (GetParam().masterStarts) {
        arm(a, TriggerRole::master);
        ASSERT_TRUE(a.startRx()) << a.lastError();
        ASSERT_TRUE(a.fireTrigger(StreamDirection::rx)) << a.lastError();
    } else {
        EXPECT_EQ(veltrano_usb_hackrf_pulse_sync(kSecondSerial), 1);
    }

    const std::optional<SyncedStart> startOfB = syncedStart(kSecondSerial);
    ASSERT_TRUE(startOfB.has_value());
    EXPECT_EQ(startOfB->sample, static_cast<std::uint64_t>(static_cast<double>(startOfB->ns) * kRateB / 1e9));
    EXPECT_EQ(receiveBytes(b, 65536), patternFrom(2 * startOfB->sample, 65536));
    EXPECT_TRUE(b.triggerState(StreamDirection::rx)->fired);
    if (GetParam().masterStarts) {
        const std::optional<SyncedStart> startOfA = syncedStart(kEmulatedSerial);
        ASSERT_TRUE(startOfA.has_value());
        EXPECT_EQ(startOfA->ns, startOfB->ns);
        EXPECT_EQ(receiveBytes(a, 65536), patternFrom(2 * startOfA->sample, 65536));
        a.stopRx();
    }
    b.stopRx();
    EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pulses, RealLibHackRfSyncPulse,
                         ::testing::Values(PulseCase{"masterStarts", true}, PulseCase{"outsidePulse", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Never pulsed, the board moves nothing and its stream stops cleanly.
TEST_F(RealLibHackRfSync, BoardNeverPulsedDeliversNothingAndStops)
{
    HackRfSdrDevice b(kSecondSerial);
    ASSERT_TRUE(b.configureRx({100e6, kRateB, 1.75e6, 20.0})) << b.lastError();
    arm(b, TriggerRole::slave);
    ASSERT_TRUE(b.startRx()) << b.lastError();
    std::vector<std::uint8_t> bytes(4096);
    EXPECT_EQ(b.readNativeSamples(bytes.data(), bytes.size() / 2), 0U);
    EXPECT_EQ(veltrano_usb_hackrf_core(kSecondSerial, "core_mode"), 2); // receiving, waiting
    b.stopRx();
    EXPECT_EQ(b.lastError(), "");
    EXPECT_EQ(veltrano_usb_hackrf_transfers_in_flight(), 0);
    EXPECT_EQ(veltrano_usb_hackrf_rx_bytes_delivered(kSecondSerial), 0U);
    EXPECT_EQ(syncedStart(kSecondSerial), std::nullopt);
}

// Firmware whose core state cannot show the wait is refused before the start.
TEST_F(RealLibHackRfSync, FirmwareWithoutCoreStateIsRefused)
{
    veltrano_usb_hackrf_set_usb_api(kSecondSerial, 0x0105);
    HackRfSdrDevice b(kSecondSerial);
    EXPECT_TRUE(b.setTrigger(StreamDirection::rx, TriggerRole::slave, ""));
    EXPECT_FALSE(b.armTrigger(StreamDirection::rx, true));
    EXPECT_NE(b.lastError().find("cannot show whether it waits"), std::string::npos) << b.lastError();
    veltrano_usb_hackrf_set_usb_api(kSecondSerial, 0x0107);
}

// CLKIN is locked only while a reference comes in on it.
class RealLibHackRfClockIn : public RealLibHackRfSync, public ::testing::WithParamInterface<bool> {};

TEST_P(RealLibHackRfClockIn, LockedOnlyWithAReference)
{
    const ScopedEnvironment reference("VELTRANO_USB_HACKRF_CLKIN", std::string(GetParam() ? "1" : "0"));
    HackRfSdrDevice a(kEmulatedSerial);
    ASSERT_TRUE(a.setClockSource("external", 10e6)) << a.lastError();
    EXPECT_EQ(a.clockLocked(), GetParam());
    ASSERT_TRUE(a.setClockOutput(true)) << a.lastError();
    EXPECT_EQ(a.clockOutput(), true);
}

INSTANTIATE_TEST_SUITE_P(References, RealLibHackRfClockIn, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "present" : "absent"; });

} // namespace
} // namespace veltrano::test
