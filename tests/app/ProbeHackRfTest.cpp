// SPDX-License-Identifier: MIT
// The probe run as a child process against scripted simulated libraries:
// exact bytes on both streams and the exit status.
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::IsEmpty;

constexpr const char* kCapabilities = "\t2e+07\t1e+06\t6e+09\n";

std::string record(const std::string& identity, const std::string& serial)
{
    return "HACKRF\t" + identity + "\t" + serial + kCapabilities;
}

class ProbeHackRf : public test::Simulation {
protected:
    test::ProcessResult probe() const { return test::runProbe({"hackrf"}); }
};

// Exact bytes on both streams and the status, whatever the library hands out:
// the probe neither crashes nor hangs.
TEST_F(ProbeHackRf, eachBusGivesItsRecordsErrorsAndStatus)
{
    const std::string serial = "0000000000000000088869dc2a5c3a1b", longest(64, 'a');
    const char* const openFailed = ": HackRF open failed: HACKRF_ERROR_";
    const struct {
        std::string script;
        const char* variant;
        test::ProcessResult result;
    } cases[] = {
        {"board " + serial + "\nboard second.board_2\n",
         "sim-hackrf",
         {0, record(serial, serial) + record("second.board_2", "second.board_2"), ""}},
        {"", "sim-hackrf", {0, "", ""}},
        {"board A\nboard B\nopen -6 A\n",
         "sim-hackrf",
         {0, record("B", "B"), std::string("HackRF A") + openFailed + "BUSY\n"}},
        {"board A\nopen -1000 A\n", "sim-hackrf", {2, "", std::string("HackRF A") + openFailed + "LIBUSB\n"}},
        // Serials of up to 64 plain characters are used as they are.
        {"board " + longest + "\n", "sim-hackrf", {0, record(longest, longest), ""}},
        {"board-repeat 1048576 X\n", "sim-hackrf", {0, record("HACKRF-USB-1", ""), ""}},
        // The enumeration's placeholder is passed on as a serial the library does not know.
        {"board-null\nboard B\n",
         "sim-hackrf",
         {0, record("B", "B"), std::string("HackRF HACKRF-USB-01") + openFailed + "NOT_FOUND\n"}},
        {"board A\nboard B\nserial-array-null\nopen-any 0\n",
         "sim-hackrf",
         {2, "",
          std::string("HackRF HACKRF-USB-01") + openFailed + "NOT_FOUND\nHackRF HACKRF-USB-02" + openFailed +
              "NOT_FOUND\n"}},
    };
    for (const auto& each : cases) {
        simulateHackRf(each.script, each.variant);
        EXPECT_EQ(probe(), each.result) << each.script.substr(0, 80);
    }
}

TEST_F(ProbeHackRf, otherSerialsAreReplacedByTheirPositionAndTheFirstBoardIsOpened)
{
    simulateHackRf("board " + std::string(65, 'a') + "\nboard has space\nboard plus+sign\nboard caf\xc3\xa9\n");
    const test::ProcessResult result = probe();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, record("HACKRF-USB-1", "") + record("HACKRF-USB-2", "") +
                                         record("HACKRF-USB-3", "") + record("HACKRF-USB-4", ""));
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").size(), 4u);
    EXPECT_EQ(hackRf().calls("hackrf_open_by_serial").front(), "hackrf_open_by_serial (null) -> 0");
}

TEST_F(ProbeHackRf, everyOpenedBoardIsClosedBeforeTheNextIsOpened)
{
    simulateHackRf("board A\nboard B\nboard C\nopen -5 B\n");
    ASSERT_EQ(probe().exitStatus, 0);
    std::vector<std::string> opensAndCloses;
    for (const auto& line : hackRf().journal()) {
        if (line.rfind("hackrf_open_by_serial", 0) == 0 || line.rfind("hackrf_close", 0) == 0) {
            opensAndCloses.push_back(line);
        }
    }
    EXPECT_THAT(opensAndCloses, ::testing::ElementsAre("hackrf_open_by_serial A -> 0", "hackrf_close -> 0",
                                                       "hackrf_open_by_serial B -> -5", "hackrf_open_by_serial C -> 0",
                                                       "hackrf_close -> 0"));
}

#if !defined(_WIN32)
TEST_F(ProbeHackRf, aRecordThatCannotBeWrittenIsAFailedBoard)
{
    simulateHackRf("board A\nboard B\n");
    const test::ProcessResult result = test::runProcess(test::probeExecutable(), {"hackrf"}, "/dev/full");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.standardError, "HackRF A: cannot write the record to standard output\n"
                                    "HackRF B: cannot write the record to standard output\n");
}
#endif

} // namespace
} // namespace veltrano
