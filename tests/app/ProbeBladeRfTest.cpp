// The bladerf and both words, run as a child process against scripted
// simulated libraries: exact bytes on both streams and the exit status.
#include "tests/support/SimulationFixture.h"

#include <gtest/gtest.h>
#include <libbladeRF.h>

namespace veltrano {
namespace {

class ProbeBladeRf : public test::Simulation {};

TEST_F(ProbeBladeRf, oneRecordPerBoardWithLabelAndScaledCapabilities)
{
    simulateBladeRf("board serial=9a8b7c product=bladeRF_2.0 rate=520834,61440000,1,1 freq=70000000,6000000000,2,1\n"
                    "board serial=SECOND product=bladeRF_x40 rate=80000,80000000,1,0.5 freq=300,3800,1,1000000\n");
    EXPECT_EQ(test::runProbe({"bladerf"}),
              (test::ProcessResult{0,
                                   "BLADERF\t9a8b7c\tbladeRF_2.0\t6.144e+07\t7e+07\t6e+09\n"
                                   "BLADERF\tSECOND\tbladeRF_x40\t4e+07\t3e+08\t3.8e+09\n",
                                   ""}));
}

TEST_F(ProbeBladeRf, noBoardsMeansNoOutputAndSuccess)
{
    simulateBladeRf("list -7\n");
    EXPECT_EQ(test::runProbe({"bladerf"}), (test::ProcessResult{0, "", ""}));
}

TEST_F(ProbeBladeRf, aBoardWithoutRangesEndsAfterItsRate)
{
    simulateBladeRf("board serial=A product=p freq-result=-1 rate=1,7500000,1,1\n");
    EXPECT_EQ(test::runProbe({"bladerf"}).standardOutput, "BLADERF\tA\tp\t7.5e+06\n");
}

TEST_F(ProbeBladeRf, anUnknownRateIsWrittenAsZero)
{
    simulateBladeRf("board serial=A product=p rate-result=-1 freq=1,750000,1,1\n");
    EXPECT_EQ(test::runProbe({"bladerf"}).standardOutput, "BLADERF\tA\tp\t0\t1\t750000\n");
}

TEST_F(ProbeBladeRf, aBoardListedUnderAPlaceholderCannotBeOpenedByIt)
{
    simulateBladeRf("board product=bladeRF_2.0\nboard serial=B\n");
    EXPECT_EQ(test::runProbe({"bladerf"}),
              (test::ProcessResult{0, "BLADERF\tB\tNuand bladeRF\t6.144e+07\t7e+07\t6e+09\n",
                                   "bladeRF BLADERF-USB-1: bladeRF open failed: No devices available\n"}));
}

TEST_F(ProbeBladeRf, whenNoBoardCanBeProbedTheStatusIsTwo)
{
    simulateBladeRf("board serial=A\nopen -1 *:serial=A\n", "sim-bladerf-no-strerror");
    EXPECT_EQ(test::runProbe({"bladerf"}),
              (test::ProcessResult{2, "", "bladeRF A: bladeRF open failed: bladeRF error -1\n"}));
}

TEST_F(ProbeBladeRf, unterminatedSerialAndProductAreReadToTheirFieldEnds)
{
    simulateBladeRf("board serial-fill=S product-fill=P\n");
    const test::ProcessResult result = test::runProbe({"bladerf"});
    const std::string serial(BLADERF_SERIAL_LENGTH, 'S');
    const std::string product(BLADERF_DESCRIPTION_LENGTH, 'P');
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "BLADERF\t" + serial + "\t" + product + "\t6.144e+07\t7e+07\t6e+09\n");
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

TEST_F(ProbeBladeRf, bothProbesHackRfFirstThenBladeRf)
{
    simulateHackRf("board H1\n");
    simulateBladeRf("board serial=B1 product=p\n");
    const test::ProcessResult result = test::runProbe({"both"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "HACKRF\tH1\tH1\t2e+07\t1e+06\t6e+09\n"
                                     "BLADERF\tB1\tp\t6.144e+07\t7e+07\t6e+09\n");
}

TEST_F(ProbeBladeRf, bothFailsWhenEitherFamilyFailed)
{
    simulateHackRf("board H1\nboard H2\nopen -5 H1\nopen -5 H2\n");
    simulateBladeRf("board serial=B1 product=p\n");
    EXPECT_EQ(test::runProbe({"both"}),
              (test::ProcessResult{2, "BLADERF\tB1\tp\t6.144e+07\t7e+07\t6e+09\n",
                                   "HackRF H1: HackRF open failed: HACKRF_ERROR_NOT_FOUND\n"
                                   "HackRF H2: HackRF open failed: HACKRF_ERROR_NOT_FOUND\n"}));
}

TEST_F(ProbeBladeRf, bothStillProbesBladeRfAfterHackRfFailed)
{
    simulateHackRf("board H1\n");
    simulateBladeRf("board serial=B1\nopen -7 *:serial=B1\n");
    EXPECT_EQ(test::runProbe({"both"}),
              (test::ProcessResult{2, "HACKRF\tH1\tH1\t2e+07\t1e+06\t6e+09\n",
                                   "bladeRF B1: bladeRF open failed: No devices available\n"}));
}

TEST_F(ProbeBladeRf, bothWithNoBoardsAtAll)
{
    simulateHackRf("");
    simulateBladeRf("");
    EXPECT_EQ(test::runProbe({"both"}), (test::ProcessResult{0, "", ""}));
}

} // namespace
} // namespace veltrano
