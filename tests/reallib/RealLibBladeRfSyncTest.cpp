// SPDX-License-Identifier: MIT
// Debian's real libbladeRF on a bus of two bladeRFs (an x40 and a 2.0 micro,
// or two micros) wired as a bench would be: one trigger line between their
// expansion headers, each board's counters on the bus's one clock, and a
// micro's clock input fed by a reference or by the other micro's clock out.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace veltrano {
namespace {

using test::RealLibBladeRf;

constexpr const char* kFirstSerial = test::kEmulatedBladeRfSerial;
constexpr const char* kSecondSerial = "d4e1b09c6a2f4753b8e0c91f27a6d3e8";
constexpr double kRate = 2e6;
constexpr std::size_t kSamples = 4 * 16384;

// The second board's journal, named before the bus is built (the first
// board's is the one every real-library test shares).
const std::filesystem::path& secondJournalFile()
{
    static const test::TemporaryDirectory directory;
    static const std::filesystem::path file = [] {
        test::setEnvironment("VELTRANO_USB_BLADERF2_JOURNAL", (directory / "journal.txt").string());
        return directory / "journal.txt";
    }();
    return file;
}
[[maybe_unused]] const bool kJournalsNamed = (test::journalFile(), secondJournalFile(), true);

struct Fire {
    std::uint64_t busNs = 0;
    std::uint64_t tick = 0;
    bool operator==(const Fire&) const = default;
};

// What the board says of its latest fire; nullopt before any.
std::optional<Fire> fireOf(const char* serial)
{
    Fire fire;
    if (veltrano_usb_bladerf_triggered(serial, &fire.busNs, &fire.tick) != 0) {
        return std::nullopt;
    }
    return fire;
}

class BladeRfsOnOneBus : public RealLibBladeRf {
protected:
    void SetUp() override
    {
        RealLibBladeRf::SetUp();
        secondJournalStart_ = test::readLines(secondJournalFile()).size();
    }

    // The board's journal lines from the test's start on that start with prefix.
    std::vector<std::string> journalLines(const char* serial, const std::string& prefix) const
    {
        std::vector<std::string> lines = journal();
        if (std::string(serial) == kSecondSerial) {
            const std::vector<std::string> all = test::readLines(secondJournalFile());
            lines.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(secondJournalStart_, all.size())),
                         all.end());
        }
        std::erase_if(lines, [&](const std::string& line) { return line.rfind(prefix, 0) != 0; });
        return lines;
    }

    static void configure(BladeRfSdrDevice& board)
    {
        ASSERT_TRUE(board.configureRx({915e6, kRate, 0.0, 20.0})) << board.lastError();
    }

    // Arms and starts a configured board. From here until the fire its
    // stream's transfers wait on the board, and libbladeRF gives each one
    // second before it times out (and resubmits out of order): arming is the
    // last step before the fire, so that the wait stays well inside it.
    static void arm(BladeRfSdrDevice& board, TriggerRole role)
    {
        ASSERT_TRUE(board.setTrigger(StreamDirection::rx, role, "")) << board.lastError();
        ASSERT_TRUE(board.armTrigger(StreamDirection::rx, true)) << board.lastError();
        ASSERT_TRUE(board.startRx()) << board.lastError();
        const std::optional<TriggerState> state = board.triggerState(StreamDirection::rx);
        ASSERT_TRUE(state.has_value());
        EXPECT_TRUE(state->armed);
        EXPECT_FALSE(state->fired);
    }

    // Reads count native samples, as many reads as a busy machine needs.
    static std::vector<std::int16_t> readAll(BladeRfSdrDevice& board, std::size_t count)
    {
        std::vector<std::int16_t> values(2 * count);
        std::size_t got = 0;
        for (int read = 0; read < 100 && got < count; ++read) {
            got += board.readNativeSamples(values.data() + 2 * got, count - got);
        }
        values.resize(2 * got);
        return values;
    }

private:
    std::size_t secondJournalStart_ = 0;
};

struct Roles {
    const char* name;
    const char* master;
    const char* slave;
};

void PrintTo(const Roles& roles, std::ostream* out)
{
    *out << roles.name;
}

class TriggeredBoards : public BladeRfsOnOneBus, public ::testing::WithParamInterface<Roles> {};

// Either board as the master: held until the fire, both start at one bus
// instant on one tick (one clock, one rate), each reader's first sample the
// pattern sample of that tick and none lost after it.
TEST_P(TriggeredBoards, startAtOneBusInstantOnThePatternSampleOfTheirTick)
{
    const Roles& roles = GetParam();
    BladeRfSdrDevice master(roles.master);
    BladeRfSdrDevice slave(roles.slave);
    ASSERT_NO_FATAL_FAILURE(configure(master));
    ASSERT_NO_FATAL_FAILURE(configure(slave));
    ASSERT_NO_FATAL_FAILURE(arm(master, TriggerRole::master));
    ASSERT_NO_FATAL_FAILURE(arm(slave, TriggerRole::slave));
    const std::uint64_t counterBefore = veltrano_usb_bladerf_timestamp(roles.slave, 0);
    std::vector<std::int16_t> none(2 * 1024);
    EXPECT_EQ(slave.readNativeSamples(none.data(), 1024), 0u); // held: the read times out empty
    EXPECT_GT(veltrano_usb_bladerf_timestamp(roles.slave, 0), counterBefore) << "the counter runs on";
    for (const char* serial : {roles.master, roles.slave}) {
        EXPECT_EQ(veltrano_usb_bladerf_rx_samples_delivered(serial), 0u) << serial;
    }
    EXPECT_FALSE(slave.fireTrigger(StreamDirection::rx)); // the device layer keeps a slave off the line
    ASSERT_TRUE(master.fireTrigger(StreamDirection::rx)) << master.lastError();

    const std::optional<Fire> fire = fireOf(roles.master);
    ASSERT_TRUE(fire.has_value());
    EXPECT_EQ(fireOf(roles.slave), fire) << "one instant, and at one rate one tick";
    EXPECT_EQ(veltrano_usb_bladerf_sample_rate(roles.master, 0), veltrano_usb_bladerf_sample_rate(roles.slave, 0));
    const std::string line = "triggered at " + std::to_string(fire->busNs) + " tick " + std::to_string(fire->tick);
    for (BladeRfSdrDevice* board : {&master, &slave}) {
        const char* serial = board == &master ? roles.master : roles.slave;
        SCOPED_TRACE(serial);
        EXPECT_EQ(journalLines(serial, "triggered"), std::vector<std::string>{line});
        const std::vector<std::int16_t> values = readAll(*board, kSamples);
        ASSERT_EQ(values.size(), 2 * kSamples) << board->lastError();
        std::vector<std::uint64_t> times(kSamples);
        for (std::size_t k = 0; k < kSamples; ++k) {
            times[k] = test::timestampOf(&values[2 * k]);
        }
        EXPECT_EQ(times.front(), fire->tick % test::kPatternPeriod);
        EXPECT_TRUE(test::contiguous(times));
        EXPECT_EQ(board->triggeredStartTimeNs(),
                  static_cast<std::int64_t>(fire->tick * 1'000'000'000 / static_cast<std::uint64_t>(kRate)));
        EXPECT_TRUE(board->triggerState(StreamDirection::rx)->fired);
        board->stopRx();
    }
    EXPECT_TRUE(master.triggerState(StreamDirection::rx)->fireRequested);
    EXPECT_FALSE(slave.triggerState(StreamDirection::rx)->fireRequested);
}

INSTANTIATE_TEST_SUITE_P(EitherMaster, TriggeredBoards,
                         ::testing::Values(Roles{"firstMaster", kFirstSerial, kSecondSerial},
                                           Roles{"secondMaster", kSecondSerial, kFirstSerial}),
                         [](const auto& info) { return std::string(info.param.name); });

class ArmedBoard : public BladeRfsOnOneBus, public ::testing::WithParamInterface<const char*> {};

// Armed and never fired, each board delivers nothing, loses nothing and
// stops with no transfer left behind (the fixture checks the bus).
TEST_P(ArmedBoard, neverFiredDeliversNothingAndStopsCleanly)
{
    const char* serial = GetParam();
    const std::optional<Fire> before = fireOf(serial);
    BladeRfSdrDevice board(serial);
    ASSERT_NO_FATAL_FAILURE(configure(board));
    ASSERT_NO_FATAL_FAILURE(arm(board, TriggerRole::slave));
    std::vector<std::int16_t> none(2 * 1024);
    for (int read = 0; read < 2; ++read) {
        EXPECT_EQ(board.readNativeSamples(none.data(), 1024), 0u);
    }
    EXPECT_EQ(board.lastError(), "");
    EXPECT_EQ(board.streamLosses().rxOverruns, 0u);
    EXPECT_EQ(board.triggeredStartTimeNs(), std::nullopt);
    board.stopRx();
    EXPECT_EQ(board.streamEnded(StreamDirection::rx), "");
    EXPECT_EQ(veltrano_usb_bladerf_rx_samples_delivered(serial), 0u);
    EXPECT_EQ(fireOf(serial), before);
    EXPECT_TRUE(journalLines(serial, "triggered").empty());
}

INSTANTIATE_TEST_SUITE_P(EachBoard, ArmedBoard, ::testing::Values(kFirstSerial, kSecondSerial),
                         [](const auto& info) { return info.index == 0 ? std::string("first") : "second"; });

// The micro under test (the second board) and what is wired to its clock input.
struct Wiring {
    const char* name;
    std::uint64_t referenceHz; // a reference at the clock input, 0: none
    bool fromFirstsClockOut;   // the first board's clock out instead (a micro)
    bool firstsClockOut;       // whether that clock out is on
    double toldHz;             // the reference the PLL is told
    bool locked;
};

void PrintTo(const Wiring& wiring, std::ostream* out)
{
    *out << wiring.name;
}

class MicroReference : public BladeRfsOnOneBus, public ::testing::WithParamInterface<Wiring> {};

// The PLL locks only when it runs and the reference it was told is there;
// taking the reference away loses the lock.
TEST_P(MicroReference, locksOnlyToTheReferenceWired)
{
    const Wiring& c = GetParam();
    veltrano_usb_bladerf_wire_reference(kSecondSerial, c.referenceHz, c.fromFirstsClockOut ? kFirstSerial : nullptr);
    std::optional<BladeRfSdrDevice> first;
    if (c.fromFirstsClockOut) {
        first.emplace(kFirstSerial);
        ASSERT_TRUE(first->setClockOutput(c.firstsClockOut)) << first->lastError();
        EXPECT_EQ(first->clockOutput(), c.firstsClockOut);
        EXPECT_EQ(veltrano_usb_bladerf_clock(kFirstSerial, "clock_output"), c.firstsClockOut ? 1 : 0);
    }
    BladeRfSdrDevice micro(kSecondSerial);
    EXPECT_EQ(micro.clockLocked(), std::nullopt); // its own oscillator has no lock to read
    ASSERT_TRUE(micro.setClockSource("external-pll", c.toldHz)) << micro.lastError();
    EXPECT_EQ(veltrano_usb_bladerf_clock(kSecondSerial, "pll_enabled"), 1);
    EXPECT_EQ(veltrano_usb_bladerf_clock(kSecondSerial, "pll_reference_hz"), static_cast<std::int64_t>(c.toldHz));
    EXPECT_EQ(micro.clockLocked(), c.locked);
    if (c.locked) {
        veltrano_usb_bladerf_wire_reference(kSecondSerial, 0, nullptr);
        EXPECT_EQ(micro.clockLocked(), false) << "the lock goes with the reference";
    }
    ASSERT_TRUE(micro.setClockSource("internal", 0.0)) << micro.lastError();
    EXPECT_EQ(veltrano_usb_bladerf_clock(kSecondSerial, "pll_enabled"), 0);
    veltrano_usb_bladerf_wire_reference(kSecondSerial, 0, nullptr);
}

const Wiring kWirings[] = {
    {"nothingWired", 0, false, false, 10e6, false},
    {"tenMegahertzWired", 10'000'000, false, false, 10e6, true},
    {"otherFrequencyWired", 20'000'000, false, false, 10e6, false},
#ifdef VELTRANO_TWO_MICROS
    // Chained: the other micro's clock out into this one's clock input.
    {"clockOutOfTheOtherMicro", 0, true, true, 38.4e6, true},
    {"otherMicrosClockOutOff", 0, true, false, 38.4e6, false},
#endif
};

INSTANTIATE_TEST_SUITE_P(Wirings, MicroReference, ::testing::ValuesIn(kWirings),
                         [](const auto& info) { return std::string(info.param.name); });

#ifndef VELTRANO_TWO_MICROS
struct TamerCase {
    const char* source;
    std::int64_t mode; // libbladeRF's bladerf_vctcxo_tamer_mode
};

class X40Reference : public BladeRfsOnOneBus, public ::testing::WithParamInterface<TamerCase> {};

// The x40's reference input is its VCTCXO tamer: the library sets its mode
// and reads no lock back.
TEST_P(X40Reference, setsTheTamerModeAndHasNoLock)
{
    const TamerCase& c = GetParam();
    BladeRfSdrDevice x40(kFirstSerial);
    ASSERT_TRUE(x40.setClockSource(c.source, 0.0)) << x40.lastError();
    EXPECT_EQ(veltrano_usb_bladerf_clock(kFirstSerial, "tamer_mode"), c.mode);
    EXPECT_EQ(x40.clockLocked(), std::nullopt);
    EXPECT_FALSE(x40.supportsClockOutput());
}

INSTANTIATE_TEST_SUITE_P(Sources, X40Reference,
                         ::testing::Values(TamerCase{"external-1pps", 1}, TamerCase{"external-10mhz", 2}),
                         [](const auto& info) {
                             std::string name = info.param.source;
                             std::erase(name, '-');
                             return name;
                         });
#endif

} // namespace
} // namespace veltrano
