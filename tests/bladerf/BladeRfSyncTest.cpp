// SPDX-License-Identifier: MIT
// Boards that sample in step, through the simulated libbladeRF: two boards
// of one library share its trigger line, and each board's PLL locks only to a
// reference that is there.
#include "device/bladerf/BladeRfApi.h"
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veltrano::test {
namespace {

constexpr double kRate = 2e6;
// Each read of an armed board times out after the device layer's 100 ms, and
// its counter runs on by that many samples meanwhile.
constexpr std::uint64_t kTicksPerArmedRead = 200'000;

class BladeRfSync : public BladeRfStreaming {
protected:
    // Opens every serial the script's boards have, each configured to receive.
    std::vector<std::unique_ptr<BladeRfSdrDevice>> openBoards(const std::string& script,
                                                              const std::vector<std::string>& serials,
                                                              const std::string& variant = "sim-bladerf")
    {
        simulateBladeRf(script, variant);
        std::vector<std::unique_ptr<BladeRfSdrDevice>> boards;
        for (const std::string& serial : serials) {
            boards.push_back(std::make_unique<BladeRfSdrDevice>(serial));
            EXPECT_TRUE(boards.back()->configureRx(config(915e6, kRate)));
        }
        return boards;
    }

    static void arm(BladeRfSdrDevice& board, TriggerRole role)
    {
        ASSERT_TRUE(board.setTrigger(StreamDirection::rx, role, "")) << board.lastError();
        ASSERT_TRUE(board.armTrigger(StreamDirection::rx, true)) << board.lastError();
    }

    // The tick the simulator says the board with this serial started at.
    static std::optional<std::uint64_t> triggeredTick(const std::string& serial)
    {
        using Inspect = int (*)(const char*, std::uint64_t*);
        const auto inspect =
            platform::findFunction<Inspect>(bladeRfApi().module, "veltrano_sim_bladerf_triggered_tick");
        std::uint64_t tick = 0;
        if (inspect == nullptr || inspect(serial.c_str(), &tick) != 0) {
            return std::nullopt;
        }
        return tick;
    }

    std::size_t triggeredLines(const std::string& line) const
    {
        const auto journal = bladeRf().journal();
        return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), line));
    }
};

// A master and a slave start at one tick: the latest counter on the line at
// the fire, here the slave's, which ran on through one read while it waited.
// Each reader's first sample is its board's pattern sample of that tick.
TEST_F(BladeRfSync, ArmedBoardsStartTogetherAtTheFireTick)
{
    auto boards = openBoards("board serial=A\nboard serial=B\n", {"A", "B"});
    BladeRfSdrDevice& master = *boards[0];
    BladeRfSdrDevice& slave = *boards[1];
    arm(master, TriggerRole::master);
    arm(slave, TriggerRole::slave);
    for (BladeRfSdrDevice* board : {&master, &slave}) {
        ASSERT_TRUE(board->startRx()) << board->lastError();
        const auto state = board->triggerState(StreamDirection::rx);
        ASSERT_TRUE(state.has_value());
        EXPECT_TRUE(state->armed);
        EXPECT_FALSE(state->fired);
    }
    EXPECT_TRUE(timestampsRead(slave, true, 1024).empty()); // waiting: nothing comes
    EXPECT_FALSE(slave.fireTrigger(StreamDirection::rx));   // a slave does not drive the line
    EXPECT_NE(slave.lastError().find("only an armed master"), std::string::npos) << slave.lastError();
    ASSERT_TRUE(master.fireTrigger(StreamDirection::rx)) << master.lastError();

    const std::uint64_t tick = kTicksPerArmedRead;
    const auto ns = static_cast<std::int64_t>(tick * 1'000'000'000 / static_cast<std::uint64_t>(kRate));
    EXPECT_EQ(triggeredLines("triggered at " + std::to_string(ns) + " tick " + std::to_string(tick)), 2U);
    for (const auto& [board, serial] : {std::pair{&master, "A"}, std::pair{&slave, "B"}}) {
        SCOPED_TRACE(serial);
        EXPECT_EQ(triggeredTick(serial), tick);
        EXPECT_TRUE(board->triggerState(StreamDirection::rx)->fired);
        EXPECT_EQ(timestampsRead(*board, true, 4096), timestampsFrom(tick, 4096));
        EXPECT_EQ(board->triggeredStartTimeNs(), ns);
        board->stopRx();
    }
    EXPECT_TRUE(master.triggerState(StreamDirection::rx)->fireRequested);
    // Fired once, the trigger must be armed again before a start waits again.
    EXPECT_FALSE(master.startRx());
    EXPECT_NE(master.lastError().find("fired already"), std::string::npos) << master.lastError();
}

// Never fired, an armed board delivers nothing, counts no loss and stops cleanly.
TEST_F(BladeRfSync, ArmedBoardNeverFiredDeliversNothingAndStops)
{
    auto boards = openBoards("board serial=A\n", {"A"});
    BladeRfSdrDevice& board = *boards[0];
    arm(board, TriggerRole::slave);
    ASSERT_TRUE(board.startRx());
    const std::size_t from = journalLength();
    EXPECT_TRUE(timestampsRead(board, false, 1024).empty());
    EXPECT_TRUE(timestampsRead(board, true, 1024).empty());
    EXPECT_EQ(board.lastError(), "");
    EXPECT_EQ(board.streamEnded(StreamDirection::rx), "");
    EXPECT_EQ(board.streamLosses().rxOverruns, 0U);
    EXPECT_EQ(board.triggeredStartTimeNs(), std::nullopt);
    board.stopRx();
    EXPECT_EQ(triggeredTick("A"), std::nullopt);
    for (const std::string& line : callsOf({"bladerf_sync_rx"}, from)) {
        EXPECT_NE(line.find("-> -6"), std::string::npos) << line; // every read timed out
    }
}

// A board that cannot wait is refused with words and never starts free-running.
struct RefusalCase {
    const char* name;
    const char* board;
    const char* variant;
    const char* refusal;
};

class BladeRfTriggerRefusal : public BladeRfSync, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(BladeRfTriggerRefusal, RefusesWithWords)
{
    const RefusalCase& c = GetParam();
    auto boards = openBoards(std::string(c.board) + "\n", {"A"}, c.variant);
    BladeRfSdrDevice& board = *boards[0];
    const bool chosen = board.setTrigger(StreamDirection::rx, TriggerRole::slave, "");
    EXPECT_FALSE(chosen && board.armTrigger(StreamDirection::rx, true));
    EXPECT_NE(board.lastError().find(c.refusal), std::string::npos) << board.lastError();
    EXPECT_FALSE(board.triggerState(StreamDirection::rx).value_or(TriggerState{}).armed);
}

INSTANTIATE_TEST_SUITE_P(Boards, BladeRfTriggerRefusal,
                         ::testing::Values(RefusalCase{"libraryWithoutTriggerCalls", "board serial=A",
                                                       "sim-bladerf-no-sync-control", "no trigger calls"},
                                           RefusalCase{"fpgaWithoutTriggerBlock",
                                                       "board serial=A trigger-arm-ignored=1", "sim-bladerf",
                                                       "does not read back as armed"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BladeRfSync, SignalsNameTheBoardsOwnPinFirst)
{
    auto boards = openBoards("board serial=A\nboard serial=B model=bladerf1\n", {"A", "B"});
    EXPECT_EQ(boards[0]->triggerSignals(StreamDirection::rx).front(), "J51-1");
    EXPECT_EQ(boards[1]->triggerSignals(StreamDirection::rx).front(), "J71-4");
    EXPECT_FALSE(boards[0]->setTrigger(StreamDirection::rx, TriggerRole::slave, "J71-4"));
    EXPECT_NE(boards[0]->lastError().find("no signal"), std::string::npos) << boards[0]->lastError();
}

// The PLL locks only to a reference that is there, at the frequency it was told.
struct LockCase {
    const char* name;
    const char* wiring; // board A's options
    double referenceHz;
    bool clockOutOfB;
    bool locked;
};

class BladeRfPllLock : public BladeRfSync, public ::testing::WithParamInterface<LockCase> {};

TEST_P(BladeRfPllLock, LocksOnlyToAReferencePresent)
{
    const LockCase& c = GetParam();
    auto boards = openBoards("board serial=A" + std::string(c.wiring) + "\nboard serial=B\n", {"A", "B"});
    BladeRfSdrDevice& board = *boards[0];
    ASSERT_TRUE(boards[1]->setClockOutput(c.clockOutOfB)) << boards[1]->lastError();
    EXPECT_EQ(boards[1]->clockOutput(), c.clockOutOfB);
    EXPECT_EQ(board.clockLocked(), std::nullopt); // its own oscillator has no lock to read
    ASSERT_TRUE(board.setClockSource("external-pll", c.referenceHz)) << board.lastError();
    EXPECT_EQ(board.clockSource(), "external-pll");
    EXPECT_EQ(board.clockLocked(), c.locked);
    if (c.locked && c.clockOutOfB) {
        ASSERT_TRUE(boards[1]->setClockOutput(false));
        EXPECT_EQ(board.clockLocked(), false); // the lock is lost with the reference
    }
}

INSTANTIATE_TEST_SUITE_P(Wirings, BladeRfPllLock,
                         ::testing::Values(LockCase{"nothingWired", "", 10e6, false, false},
                                           LockCase{"tenMegahertzWired", " ref-in=10000000", 10e6, false, true},
                                           LockCase{"otherFrequencyWired", " ref-in=20000000", 10e6, false, false},
                                           LockCase{"clockOutOfTheOtherBoard", " ref-from=B", 38.4e6, true, true},
                                           LockCase{"otherBoardsClockOutOff", " ref-from=B", 38.4e6, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SourcesCase {
    const char* name;
    const char* board;
    const char* variant;
    std::vector<std::string> sources;
    bool clockOut;
};

class BladeRfClockSources : public BladeRfSync, public ::testing::WithParamInterface<SourcesCase> {};

TEST_P(BladeRfClockSources, FollowTheBoardAndTheLibrary)
{
    const SourcesCase& c = GetParam();
    auto boards = openBoards(std::string(c.board) + "\n", {"A"}, c.variant);
    BladeRfSdrDevice& board = *boards[0];
    std::vector<std::string> names;
    for (const ClockSourceInfo& source : board.clockSources()) {
        names.push_back(source.name);
    }
    EXPECT_EQ(names, c.sources);
    EXPECT_EQ(board.supportsClockOutput(), c.clockOut);
    for (const std::string& name : c.sources) {
        EXPECT_TRUE(board.setClockSource(name, 10e6)) << name << ": " << board.lastError();
        EXPECT_EQ(board.clockSource(), name);
    }
    EXPECT_FALSE(board.setClockSource("gps", 0.0));
    EXPECT_NE(board.lastError().find("offers no"), std::string::npos) << board.lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Boards, BladeRfClockSources,
    ::testing::Values(
        SourcesCase{"bladeRf2", "board serial=A", "sim-bladerf", {"internal", "external", "external-pll"}, true},
        SourcesCase{"bladeRf1",
                    "board serial=A model=bladerf1",
                    "sim-bladerf",
                    {"internal", "external-1pps", "external-10mhz"},
                    false},
        SourcesCase{"libraryWithoutClockCalls", "board serial=A", "sim-bladerf-no-sync-control", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano::test
