// SPDX-License-Identifier: MIT
// The probe run as a child process against scripted simulated libraries:
// exact bytes on both streams and the exit status.
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>
#include <libbladeRF.h>

namespace veltrano {
namespace {

// Anything but exactly one of the three words is refused with status 64 and
// not one byte of output: scripts tell a usage error by the status alone.
TEST(ProbeCommandLine, wrongArgumentsAreRefusedSilently)
{
    const std::vector<std::vector<std::string>> wrong{
        {},       {"hackrf", "bladerf"}, {"both", "both"}, {""},      {"HACKRF"}, {"BladeRF"},
        {"BOTH"}, {"hackrf "},           {"all"},          {"--help"}};
    for (const auto& arguments : wrong) {
        EXPECT_EQ(test::runProbe(arguments), (test::ProcessResult{64, "", ""})) << arguments.size();
    }
}

// A HackRF One's record.
std::string record(const std::string& identity, const std::string& serial)
{
    return "HACKRF\t" + identity + "\t" + serial + "\t2e+07\t1e+06\t6e+09\n";
}

class Probe : public test::Simulation {};

const std::string kRecord2 = "\t6.144e+07\t7e+07\t6e+09\n"; // a bladeRF 2.0's capabilities

// Exact bytes on both streams and the status, whatever the libraries hand
// out: the probe neither crashes nor hangs. "both" probes HackRF first, then
// bladeRF even after HackRF failed, and fails when either family failed (both
// boards found is pinned through the real libraries, no board at all by the
// system-library smoke test).
TEST_F(Probe, eachFamilyGivesItsRecordsErrorsAndStatus)
{
    const std::string serial = "0000000000000000088869dc2a5c3a1b", longest(64, 'a');
    const std::string openFailed = ": HackRF open failed: HACKRF_ERROR_";
    const struct {
        std::string hackRf;
        std::string bladeRf;
        test::ProcessResult result;
        const char* bladeRfVariant = "sim-bladerf";
    } cases[] = {
        {"board " + serial + "\nboard second.board_2\n",
         "",
         {0, record(serial, serial) + record("second.board_2", "second.board_2"), ""}},
        {"board A\nboard B\nopen -6 A\n", "", {0, record("B", "B"), "HackRF A" + openFailed + "BUSY\n"}},
        {"board A\nopen -1000 A\n", "", {2, "", "HackRF A" + openFailed + "LIBUSB\n"}},
        // Serials of up to 64 plain characters are used as they are.
        {"board " + longest + "\n", "", {0, record(longest, longest), ""}},
        // Any other serial is replaced by the board's position, and the first board is opened for it.
        {"board-repeat 1048576 X\n", "", {0, record("HACKRF-USB-1", ""), ""}},
        {"board " + std::string(65, 'a') + "\nboard has space\nboard plus+sign\nboard caf\xc3\xa9\n",
         "",
         {0,
          record("HACKRF-USB-1", "") + record("HACKRF-USB-2", "") + record("HACKRF-USB-3", "") +
              record("HACKRF-USB-4", ""),
          ""}},
        // The enumeration's placeholder is passed on as a serial the library does not know.
        {"board-null\nboard B\n", "", {0, record("B", "B"), "HackRF HACKRF-USB-01" + openFailed + "NOT_FOUND\n"}},
        // One record per board, with its label and capabilities in Hz.
        {"",
         "board serial=9a8b7c product=bladeRF_2.0 rate=520834,61440000,1,1 freq=70000000,6000000000,2,1\n"
         "board serial=SECOND product=bladeRF_x40 rate=80000,80000000,1,0.5 freq=300,3800,1,1000000\n",
         {0, "BLADERF\t9a8b7c\tbladeRF_2.0" + kRecord2 + "BLADERF\tSECOND\tbladeRF_x40\t4e+07\t3e+08\t3.8e+09\n", ""}},
        {"", "list -7\n", {0, "", ""}},
        // Without ranges the record ends after the rate; an unknown rate is 0.
        {"", "board serial=A product=p freq-result=-1 rate=1,7500000,1,1\n", {0, "BLADERF\tA\tp\t7.5e+06\n", ""}},
        {"", "board serial=A product=p rate-result=-1 freq=1,750000,1,1\n", {0, "BLADERF\tA\tp\t0\t1\t750000\n", ""}},
        // A board listed under a placeholder cannot be opened by it.
        {"",
         "board product=bladeRF_2.0\nboard serial=B\n",
         {0, "BLADERF\tB\tNuand bladeRF" + kRecord2,
          "bladeRF BLADERF-USB-1: bladeRF open failed: No devices available\n"}},
        // Unterminated serial and product are read to their fields' ends.
        {"",
         "board serial-fill=S product-fill=P\n",
         {0,
          "BLADERF\t" + std::string(BLADERF_SERIAL_LENGTH, 'S') + "\t" + std::string(BLADERF_DESCRIPTION_LENGTH, 'P') +
              kRecord2,
          ""}},
        {"",
         "board serial=A\nopen -1 *:serial=A\n",
         {2, "", "bladeRF A: bladeRF open failed: bladeRF error -1\n"},
         "sim-bladerf-no-strerror"},
        {"board H1\nboard H2\nopen -5 H1\nopen -5 H2\n",
         "board serial=B1 product=p\n",
         {2, "BLADERF\tB1\tp" + kRecord2,
          "HackRF H1" + openFailed + "NOT_FOUND\nHackRF H2" + openFailed + "NOT_FOUND\n"}},
        {"board H1\n",
         "board serial=B1\nopen -7 *:serial=B1\n",
         {2, record("H1", "H1"), "bladeRF B1: bladeRF open failed: No devices available\n"}},
    };
    for (const auto& each : cases) {
        simulateHackRf(each.hackRf);
        simulateBladeRf(each.bladeRf, each.bladeRfVariant);
        const char* family = each.hackRf.empty() ? "bladerf" : each.bladeRf.empty() ? "hackrf" : "both";
        EXPECT_EQ(test::runProbe({family}), each.result) << family << ": " << each.hackRf.substr(0, 80) << each.bladeRf;
    }
}

TEST_F(Probe, everyOpenedBoardIsClosedBeforeTheNextIsOpened)
{
    simulateHackRf("board A\nboard B\nboard C\nopen -5 B\n");
    ASSERT_EQ(test::runProbe({"hackrf"}).exitStatus, 0);
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
TEST_F(Probe, aRecordThatCannotBeWrittenIsAFailedBoard)
{
    simulateHackRf("board A\nboard B\n");
    const test::ProcessResult result = test::runProcess(test::probeExecutable(), {"hackrf"}, "/dev/full");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.standardError, "HackRF A: cannot write the record to standard output\n"
                                    "HackRF B: cannot write the record to standard output\n");
}
#endif

TEST_F(Probe, tenThousandBoardsGetTenThousandRecords)
{
    simulateBladeRf("boards 10000 SN\n");
    const test::ProcessResult result = test::runProbe({"bladerf"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(std::count(result.standardOutput.begin(), result.standardOutput.end(), '\n'), 10000);
    EXPECT_EQ(bladeRf().calls("bladerf_close").size(), 10000u);
}

} // namespace
} // namespace veltrano
