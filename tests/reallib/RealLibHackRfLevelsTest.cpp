// SPDX-License-Identifier: MIT
// The two HackRF levels deliver the same board: the simulated libhackrf and
// Debian's real libhackrf on the USB-level emulated board, each set up the
// same way in a process of its own, answer every setting alike and deliver
// the same stream byte for byte, receive pattern and sweep framing alike.
#include "tests/reallib/RealLibHackRf.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

struct LevelCase {
    const char* name;
    const char* mode; // "rx" or "sweep"
    const char* rateHz;
    const char* lnaDb;
    const char* vgaDb;
    const char* amplifier;
    const char* frequencyHz;
    std::size_t bytes;
    // Rate, LNA, VGA, amplifier and tune results, the library's filter for
    // three quarters of the rate, then the start's result.
    const char* results;
};

void PrintTo(const LevelCase& c, std::ostream* stream)
{
    *stream << c.name;
}

class RealLibLevels : public test::RealLibHackRf, public ::testing::WithParamInterface<LevelCase> {
protected:
    test::ProcessResult capture(const std::filesystem::path& library) const
    {
        const LevelCase& c = GetParam();
        return test::runProcess(test::binaryDirectory() / "hackrf-level-capture",
                                {library.string(), test::kEmulatedSerial, c.mode, c.rateHz, c.lnaDb, c.vgaDb,
                                 c.amplifier, c.frequencyHz, std::to_string(c.bytes)});
    }
};

TEST_P(RealLibLevels, bothLevelsAnswerAndDeliverTheSame)
{
#if !defined(__x86_64__)
    // The capture runs in a child process, which can load only the host's own x86-64 libhackrf.
    GTEST_SKIP() << "the real libhackrf here is the x86-64 host's";
#endif
    const test::ProcessResult board = capture(test::kRealLibHackRf);
    // Whole transfers, as the real library moves them.
    const test::SimulatorSession simulated("HACKRF",
                                           std::string("board ") + test::kEmulatedSerial + "\nrx-free-run 262144\n");
    const test::ProcessResult library = capture(test::simulatedLibrary("sim-hackrf"));

    EXPECT_EQ(board.standardError, std::string(GetParam().results) + "\n");
    EXPECT_EQ(library.standardError, board.standardError);
    ASSERT_EQ(board.standardOutput.size(), GetParam().bytes);
    // Compared whole: a difference anywhere shows as the first one.
    EXPECT_TRUE(library.standardOutput == board.standardOutput)
        << "first difference at byte "
        << std::mismatch(library.standardOutput.begin(), library.standardOutput.end(), board.standardOutput.begin(),
                         board.standardOutput.end())
                   .first -
               library.standardOutput.begin();
}

INSTANTIATE_TEST_SUITE_P(
    , RealLibLevels,
    ::testing::Values(
        LevelCase{"receiveOnGainSteps", "rx", "10000000", "16", "20", "0", "100000000", 1 << 20, "0 0 0 0 0 7000000 0"},
        // LNA rounded down to its step, VGA above its top refused, the amplifier on.
        LevelCase{"gainsBetweenSteps", "rx", "8000000", "13", "63", "1", "433920000", 1 << 20, "0 0 -2 0 0 6000000 0"},
        // A rate the library sends as a fraction; LNA above its top; a switch value the board refuses.
        LevelCase{"fractionalRate", "rx", "2666666.6666666665", "41", "21", "2", "915000000", 1 << 19,
                  "0 -2 0 -1000 0 1750000 0"},
        // Three quarters of the rate lie above the widest filter: the library's lookup gives 0.
        LevelCase{"rateAboveTheFilters", "rx", "40000000", "0", "0", "0", "100000000", 1 << 20, "0 0 0 0 0 0 0"},
        // Two ranges, interleaved: 88, 93, 2400, 2405, 2420 and 2425 MHz, then over again.
        LevelCase{"sweepOfTwoRanges", "sweep", "20000000", "8", "10", "0", "2400000000", 3 * 262144,
                  "0 0 0 0 0 15000000 0"}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
