// SPDX-License-Identifier: MIT
// HackRF boards that start on one sample, through the simulated libhackrf:
// the boards of one library share a sync wire from the first board's sync
// output, a board in sync mode moves nothing until a pulse, and CLKIN sees
// a reference only where one is cabled and on.
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/support/Eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veltrano::test {
namespace {

// Different rates on the two boards, so each sample number is its own board's.
constexpr double kRateA = 10e6;
constexpr double kRateB = 8e6;
constexpr std::size_t kFreeRunBytes = 65536;

// Byte p of the receive pattern: byte p % 4 of the little-endian number p / 4.
std::uint8_t patternByte(std::uint64_t position)
{
    return static_cast<std::uint8_t>((position / 4) >> (8 * (position % 4)));
}

std::vector<std::uint8_t> patternFrom(std::uint64_t position, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        bytes[index] = patternByte(position + index);
    }
    return bytes;
}

struct SyncedLine {
    std::string instant; // the ns after the wire's epoch
    std::uint64_t sample = 0;
};

class HackRfSync : public Simulation {
protected:
    // Opens every serial, each configured to receive at its own rate.
    std::vector<std::unique_ptr<HackRfSdrDevice>> openBoards(const std::string& script,
                                                             const std::vector<std::string>& serials,
                                                             const std::string& variant = "sim-hackrf")
    {
        simulateHackRf(script, variant);
        std::vector<std::unique_ptr<HackRfSdrDevice>> boards;
        for (std::size_t index = 0; index < serials.size(); ++index) {
            boards.push_back(std::make_unique<HackRfSdrDevice>(serials[index]));
            EXPECT_TRUE(boards.back()->configureRx({100e6, index == 0 ? kRateA : kRateB, 0.0, 20.0}));
        }
        return boards;
    }

    static void arm(HackRfSdrDevice& board, TriggerRole role, StreamDirection direction = StreamDirection::rx)
    {
        ASSERT_TRUE(board.setTrigger(direction, role, "")) << board.lastError();
        ASSERT_TRUE(board.armTrigger(direction, true)) << board.lastError();
    }

    static int pulse(const char* serial)
    {
        using Pulse = int (*)(const char*);
        const auto control = platform::findFunction<Pulse>(hackRfApi().module, "veltrano_sim_hackrf_pulse_sync");
        return control == nullptr ? -2 : control(serial);
    }

    // The board's "<serial>: synced at <ns> sample <n>" lines.
    std::vector<SyncedLine> syncedLines(const std::string& serial) const
    {
        std::vector<SyncedLine> lines;
        const std::string prefix = serial + ": synced at ";
        for (const std::string& line : hackRf().journal()) {
            if (line.rfind(prefix, 0) != 0) {
                continue;
            }
            const std::size_t sample = line.find(" sample ");
            lines.push_back({line.substr(prefix.size(), sample - prefix.size()),
                             std::stoull(line.substr(sample + std::string(" sample ").size()))});
        }
        return lines;
    }

    // One read: empty from a board that waits (every read times out).
    static std::vector<std::uint8_t> firstBytes(HackRfSdrDevice& board, std::size_t samples)
    {
        std::vector<std::complex<float>> read(samples);
        read.resize(board.readSamples(read.data(), samples));
        return bytesOf(read);
    }

    // The stream's first bytes once that many samples came, however slowly
    // the transfer thread gets to them.
    static std::vector<std::uint8_t> receivedBytes(HackRfSdrDevice& board, std::size_t samples)
    {
        std::vector<std::complex<float>> received;
        eventually([&] {
            std::vector<std::complex<float>> read(samples - received.size());
            read.resize(board.readSamples(read.data(), read.size()));
            received.insert(received.end(), read.begin(), read.end());
            return received.size() == samples;
        });
        return bytesOf(received);
    }
};

// Whichever pulses the wire, the master's start or an outside source, every
// released board journals the one instant and delivers its pattern from its
// own sample at that instant.
struct PulseCase {
    const char* name;
    TriggerRole roleOfA;
    bool pulseFromOutside;
};

class HackRfSyncPulse : public HackRfSync, public ::testing::WithParamInterface<PulseCase> {};

TEST_P(HackRfSyncPulse, BoardsStartOnTheSameInstant)
{
    const PulseCase& c = GetParam();
    auto boards = openBoards("board A\nboard B\nrx-free-run " + std::to_string(kFreeRunBytes) + "\n", {"A", "B"});
    HackRfSdrDevice& a = *boards[0];
    HackRfSdrDevice& b = *boards[1];
    arm(a, c.roleOfA);
    arm(b, TriggerRole::slave);
    ASSERT_TRUE(b.startRx()) << b.lastError();
    const auto waiting = b.triggerState(StreamDirection::rx);
    ASSERT_TRUE(waiting.has_value());
    EXPECT_TRUE(waiting->armed);
    EXPECT_FALSE(waiting->fired);
    EXPECT_TRUE(firstBytes(b, 1024).empty()); // nothing before the pulse
    if (c.roleOfA == TriggerRole::master) {
        EXPECT_FALSE(a.fireTrigger(StreamDirection::rx)); // not by command
        EXPECT_NE(a.lastError().find("the master's start is the pulse"), std::string::npos) << a.lastError();
    }
    ASSERT_TRUE(a.startRx()) << a.lastError();
    if (c.pulseFromOutside) {
        EXPECT_TRUE(firstBytes(a, 1024).empty()); // a slave itself, A waits as well
        EXPECT_EQ(pulse(nullptr), 2);
    } else {
        EXPECT_TRUE(a.fireTrigger(StreamDirection::rx)) << a.lastError();
    }

    const std::vector<SyncedLine> linesOfA = syncedLines("A");
    const std::vector<SyncedLine> linesOfB = syncedLines("B");
    ASSERT_EQ(linesOfA.size(), 1U);
    ASSERT_EQ(linesOfB.size(), 1U);
    EXPECT_EQ(linesOfA[0].instant, linesOfB[0].instant);
    const double ns = std::stod(linesOfA[0].instant);
    EXPECT_EQ(linesOfA[0].sample, static_cast<std::uint64_t>(ns * kRateA / 1e9));
    EXPECT_EQ(linesOfB[0].sample, static_cast<std::uint64_t>(ns * kRateB / 1e9));
    for (const auto& [board, line] : {std::pair{&a, linesOfA[0]}, std::pair{&b, linesOfB[0]}}) {
        EXPECT_EQ(receivedBytes(*board, 2048), patternFrom(2 * line.sample, 4096));
        EXPECT_TRUE(board->triggerState(StreamDirection::rx)->fired);
        board->stopRx();
    }
}

INSTANTIATE_TEST_SUITE_P(Pulses, HackRfSyncPulse,
                         ::testing::Values(PulseCase{"masterStarts", TriggerRole::master, false},
                                           PulseCase{"outsidePulse", TriggerRole::slave, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Never pulsed, a board in sync mode delivers nothing and stops cleanly; its
// first board's start without a board waiting is a plain start, no sync.
TEST_F(HackRfSync, BoardNeverPulsedDeliversNothingAndStops)
{
    auto boards = openBoards("board A\nboard B\nrx-free-run 4096\n", {"A", "B"});
    HackRfSdrDevice& b = *boards[1];
    arm(b, TriggerRole::slave);
    ASSERT_TRUE(b.startRx()) << b.lastError();
    EXPECT_EQ(pulse("A"), 0); // a pulse on the other board's input only
    EXPECT_TRUE(firstBytes(b, 1024).empty());
    EXPECT_EQ(b.streamEnded(StreamDirection::rx), "");
    EXPECT_EQ(b.rxDroppedBytes(), 0U);
    b.stopRx();
    EXPECT_EQ(b.lastError(), "");
    EXPECT_EQ(pulse(nullptr), 0); // withdrawn from the wire by the stop
    ASSERT_TRUE(boards[0]->startRx());
    EXPECT_EQ(receivedBytes(*boards[0], 1024).size(), 2048U);
    boards[0]->stopRx();
    EXPECT_TRUE(syncedLines("A").empty());
    EXPECT_TRUE(syncedLines("B").empty());
}

// Transmit waits the same way: nothing is pulled from the client before the pulse.
TEST_F(HackRfSync, TransmitWaitsForThePulse)
{
    auto boards = openBoards("board A\nboard B\n", {"A", "B"});
    HackRfSdrDevice& b = *boards[1];
    ASSERT_TRUE(b.configureTx({433.92e6, 10e6, 1.75e6, 20.0}));
    arm(b, TriggerRole::slave, StreamDirection::tx);
    ASSERT_TRUE(b.startTx()) << b.lastError();
    const HackRfSimulatorControl sim;
    std::vector<unsigned char> bytes(4096);
    int valid = 0;
    EXPECT_EQ(sim.pull(4096, bytes.data(), &valid), -1); // the board takes nothing yet
    EXPECT_FALSE(b.triggerState(StreamDirection::tx)->fired);
    EXPECT_EQ(pulse("B"), 1);
    EXPECT_EQ(sim.pull(4096, bytes.data(), &valid), 0);
    EXPECT_TRUE(b.triggerState(StreamDirection::tx)->fired);
    EXPECT_EQ(syncedLines("B").size(), 1U);
    b.stopTx();
}

// A board that cannot wait, or cannot show that it waits, is refused with
// words and never left streaming free.
struct RefusalCase {
    const char* name;
    const char* script;
    const char* variant;
    bool refusedAtStart; // else already at the arm
    const char* refusal;
};

class HackRfSyncRefusal : public HackRfSync, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HackRfSyncRefusal, RefusesWithWords)
{
    const RefusalCase& c = GetParam();
    auto boards = openBoards(std::string("board A\nrx-free-run 4096\n") + c.script, {"A"}, c.variant);
    HackRfSdrDevice& board = *boards[0];
    const bool armed =
        board.setTrigger(StreamDirection::rx, TriggerRole::slave, "") && board.armTrigger(StreamDirection::rx, true);
    EXPECT_EQ(armed, c.refusedAtStart) << board.lastError();
    if (armed) {
        EXPECT_FALSE(board.startRx());
        EXPECT_EQ(hackRf().calls("hackrf_stop_rx").size(), 1U); // stopped, not left running
        EXPECT_TRUE(firstBytes(board, 16).empty());
    }
    EXPECT_NE(board.lastError().find(c.refusal), std::string::npos) << board.lastError();
}

INSTANTIATE_TEST_SUITE_P(Boards, HackRfSyncRefusal,
                         ::testing::Values(RefusalCase{"libraryWithoutSyncCalls", "", "sim-hackrf-no-hw-sync", false,
                                                       "no hardware sync"},
                                           RefusalCase{"firmwareTooOldToShowTheWait", "usb-api 0x0105\n", "sim-hackrf",
                                                       false, "cannot show whether it waits"},
                                           RefusalCase{"firmwareIgnoresSyncMode", "hw-sync ignored\n", "sim-hackrf",
                                                       true, "did not wait for the sync pulse"},
                                           RefusalCase{"coreStateUnreadable", "fail hackrf_get_m0_state -1000\n",
                                                       "sim-hackrf", true, "core state cannot be read"}),
                         [](const auto& info) { return std::string(info.param.name); });

// CLKIN is locked only while a reference is there: scripted, or the other
// board's clock out cabled to it and switched on.
struct ClockCase {
    const char* name;
    const char* script;
    bool clockOutOfA;
    bool locked;
};

class HackRfClockIn : public HackRfSync, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(HackRfClockIn, LocksOnlyToAReferencePresent)
{
    const ClockCase& c = GetParam();
    auto boards = openBoards(std::string("board A\nboard B\n") + c.script, {"A", "B"});
    HackRfSdrDevice& b = *boards[1];
    ASSERT_TRUE(boards[0]->setClockOutput(c.clockOutOfA)) << boards[0]->lastError();
    EXPECT_EQ(boards[0]->clockOutput(), c.clockOutOfA);
    EXPECT_EQ(b.clockLocked(), std::nullopt); // the own crystal has no lock to read
    ASSERT_TRUE(b.setClockSource("external", 10e6)) << b.lastError();
    EXPECT_EQ(b.clockSource(), "external");
    EXPECT_EQ(b.clockLocked(), c.locked);
    EXPECT_EQ(b.lastError().find("no reference on CLKIN") != std::string::npos, !c.locked) << b.lastError();
    // The firmware takes a reference that is there: the crystal cannot be chosen over it.
    EXPECT_EQ(b.setClockSource("internal", 0.0), !c.locked) << b.lastError();
    if (c.locked && c.clockOutOfA) {
        ASSERT_TRUE(boards[0]->setClockOutput(false));
        EXPECT_EQ(b.clockLocked(), false); // the reference went with the clock out
    }
}

INSTANTIATE_TEST_SUITE_P(Wirings, HackRfClockIn,
                         ::testing::Values(ClockCase{"nothingCabled", "", true, false},
                                           ClockCase{"referenceScripted", "clock-in 1\n", false, true},
                                           ClockCase{"clockOutOfTheOtherBoard", "clock-in-from B A\n", true, true},
                                           ClockCase{"otherBoardsClockOutOff", "clock-in-from B A\n", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Clock out and the sources follow what the library can do.
TEST_F(HackRfSync, LibraryWithoutSyncCallsHasNoClockOut)
{
    auto boards = openBoards("board A\n", {"A"}, "sim-hackrf-no-hw-sync");
    EXPECT_FALSE(boards[0]->supportsClockOutput());
    EXPECT_FALSE(boards[0]->setClockOutput(true));
    EXPECT_NE(boards[0]->lastError().find("cannot switch CLKOUT"), std::string::npos) << boards[0]->lastError();
    EXPECT_FALSE(boards[0]->setClockSource("gpsdo", 0.0));
    EXPECT_NE(boards[0]->lastError().find("no source"), std::string::npos) << boards[0]->lastError();
}

} // namespace
} // namespace veltrano::test
