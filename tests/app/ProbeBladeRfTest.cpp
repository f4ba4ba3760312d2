// SPDX-License-Identifier: MIT
// The bladerf and both words, run as a child process against scripted
// simulated libraries: exact bytes on both streams and the exit status.
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>
#include <libbladeRF.h>

namespace veltrano {
namespace {

class ProbeBladeRf : public test::Simulation {};

const std::string kRecord2 = "\t6.144e+07\t7e+07\t6e+09\n"; // a bladeRF 2.0's capabilities

TEST_F(ProbeBladeRf, eachBusGivesItsRecordsErrorsAndStatus)
{
    const struct {
        const char* script;
        const char* variant;
        test::ProcessResult result;
    } cases[] = {
        // One record per board, with its label and capabilities in Hz.
        {"board serial=9a8b7c product=bladeRF_2.0 rate=520834,61440000,1,1 freq=70000000,6000000000,2,1\n"
         "board serial=SECOND product=bladeRF_x40 rate=80000,80000000,1,0.5 freq=300,3800,1,1000000\n",
         "sim-bladerf",
         {0, "BLADERF\t9a8b7c\tbladeRF_2.0" + kRecord2 + "BLADERF\tSECOND\tbladeRF_x40\t4e+07\t3e+08\t3.8e+09\n", ""}},
        {"list -7\n", "sim-bladerf", {0, "", ""}},
        // Without ranges the record ends after the rate; an unknown rate is 0.
        {"board serial=A product=p freq-result=-1 rate=1,7500000,1,1\n",
         "sim-bladerf",
         {0, "BLADERF\tA\tp\t7.5e+06\n", ""}},
        {"board serial=A product=p rate-result=-1 freq=1,750000,1,1\n",
         "sim-bladerf",
         {0, "BLADERF\tA\tp\t0\t1\t750000\n", ""}},
        // A board listed under a placeholder cannot be opened by it.
        {"board product=bladeRF_2.0\nboard serial=B\n",
         "sim-bladerf",
         {0, "BLADERF\tB\tNuand bladeRF" + kRecord2,
          "bladeRF BLADERF-USB-1: bladeRF open failed: No devices available\n"}},
        {"board serial=A\nopen -1 *:serial=A\n",
         "sim-bladerf-no-strerror",
         {2, "", "bladeRF A: bladeRF open failed: bladeRF error -1\n"}},
    };
    for (const auto& each : cases) {
        simulateBladeRf(each.script, each.variant);
        EXPECT_EQ(test::runProbe({"bladerf"}), each.result) << each.script;
    }
}

TEST_F(ProbeBladeRf, unterminatedSerialAndProductAreReadToTheirFieldEnds)
{
    simulateBladeRf("board serial-fill=S product-fill=P\n");
    const test::ProcessResult result = test::runProbe({"bladerf"});
    const std::string serial(BLADERF_SERIAL_LENGTH, 'S');
    const std::string product(BLADERF_DESCRIPTION_LENGTH, 'P');
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "BLADERF\t" + serial + "\t" + product + kRecord2);
    EXPECT_EQ(bladeRf().calls("bladerf_open"), std::vector<std::string>{"bladerf_open *:serial=" + serial + " -> 0"});
}

TEST_F(ProbeBladeRf, tenThousandBoardsGetTenThousandRecords)
{
    simulateBladeRf("boards 10000 SN\n");
    const test::ProcessResult result = test::runProbe({"bladerf"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(std::count(result.standardOutput.begin(), result.standardOutput.end(), '\n'), 10000);
    EXPECT_EQ(bladeRf().calls("bladerf_close").size(), 10000u);
}

// "both" probes HackRF first, then bladeRF even after HackRF failed, and
// fails when either family failed.
TEST_F(ProbeBladeRf, bothProbesEachFamilyInTurn)
{
    const std::string hackRfRecord = "HACKRF\tH1\tH1\t2e+07\t1e+06\t6e+09\n";
    const std::string hackRfFailed = ": HackRF open failed: HACKRF_ERROR_NOT_FOUND\n";
    const struct {
        const char* hackRf;
        const char* bladeRf;
        test::ProcessResult result;
    } cases[] = {
        {"board H1\n", "board serial=B1 product=p\n", {0, hackRfRecord + "BLADERF\tB1\tp" + kRecord2, ""}},
        {"board H1\nboard H2\nopen -5 H1\nopen -5 H2\n",
         "board serial=B1 product=p\n",
         {2, "BLADERF\tB1\tp" + kRecord2, "HackRF H1" + hackRfFailed + "HackRF H2" + hackRfFailed}},
        {"board H1\n",
         "board serial=B1\nopen -7 *:serial=B1\n",
         {2, hackRfRecord, "bladeRF B1: bladeRF open failed: No devices available\n"}},
        {"", "", {0, "", ""}},
    };
    for (const auto& each : cases) {
        simulateHackRf(each.hackRf);
        simulateBladeRf(each.bladeRf);
        EXPECT_EQ(test::runProbe({"both"}), each.result) << each.hackRf << each.bladeRf;
    }
}

} // namespace
} // namespace veltrano
