// SPDX-License-Identifier: MIT
// SoapySDR's own tool, an unmodified SoapySDR application, probes and streams
// from the simulated boards through the module (what its --find prints is the
// module's enumeration, pinned in process by the mapping test).
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <regex>

namespace veltrano {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const char* const kSoapyTool = "/usr/bin/SoapySDRUtil";

class SoapyTool : public test::SoapyModule {
protected:
    void SetUp() override
    {
        simulateHackRf("board H1\n");
        simulateBladeRf("board serial=B1 product=bladeRF_2.0\n");
    }
};

// Each channel as the tool shows it: the formats offered, the native one with
// its full scale, and the ranges.
TEST_F(SoapyTool, probeDescribesTheBoardsOfBothFamilies)
{
    const std::string formats = "Stream formats: CF32, CF64, CS16, CS8\n  Native format: ";
    const struct {
        const char* args;
        std::vector<std::string> shown;
    } cases[] = {
        {"--probe=driver=veltrano,family=hackrf",
         {"driver=veltrano\n  hardware=HackRF One\n", "Channels: 1 Rx, 1 Tx\n", "-- RX Channel 0\n",
          formats + "CS8 [full-scale=128]\n  Antennas: TX/RX\n  Full gain range: [0, 102, 2] dB\n" +
              "    LNA gain range: [0, 40, 8] dB\n    VGA gain range: [0, 62, 2] dB\n" +
              "    AMP gain range: [0, 14, 14] dB\n  Full freq range: [1, 6000] MHz\n",
          "-- TX Channel 0\n", formats + "CS8 [full-scale=128]\n  Antennas: TX/RX\n  Full gain range: [0, 47, 1] dB\n",
          "Sample rates: [2, 20] MSps\n  Filter bandwidths: 1.75, 2.5, 3.5, 5, 5.5, ..., 14, 15, 20, 24, 28 MHz\n"}},
        {"--probe=driver=veltrano,serial=B1",
         {"driver=veltrano\n  hardware=bladerf2\n", "Channels: 2 Rx, 2 Tx\n", "-- RX Channel 0\n",
          formats + "CS16 [full-scale=2048]\n  Antennas: RX\n  Full gain range: [-15, 60, 1] dB\n" +
              "    full gain range: [-15, 60, 1] dB\n",
          "  Full freq range: [70, 6000] MHz\n", "Sample rates: [0.520834, 61.44] MSps\n", "-- RX Channel 1\n",
          "-- TX Channel 0\n", formats + "CS16 [full-scale=2048]\n"}},
    };
    for (const auto& each : cases) {
        const test::ProcessResult probed = test::runProcess(kSoapyTool, {each.args});
        EXPECT_EQ(probed.exitStatus, 0) << probed.standardError;
        // In order: each piece after the one before.
        std::size_t at = 0;
        for (const std::string& piece : each.shown) {
            at = probed.standardOutput.find(piece, at);
            ASSERT_NE(at, std::string::npos) << each.args << ": " << piece << "\n" << probed.standardOutput;
        }
    }
}

TEST_F(SoapyTool, rateTestStreamsFromEachFamilyInItsNativeFormatWithoutLoss)
{
    // Each board paced like the real one: the tool streams in the native
    // format it is offered and must lose nothing. At 2 MS/s a stall of a
    // loaded machine has a second (the HackRF's 4 MiB ring) or half of one
    // (the simulated libbladeRF's buffers) before a sample is lost, where the
    // boards' top rates would leave a tenth; whether the module keeps up with
    // those is measured by the streaming benchmarks. (That the rate asked reaches the board, and that no sample
    // is made up, is pinned in process.)
    const struct {
        std::string family;
        const char* rate;
        const char* format;
    } cases[] = {{"hackrf", "2e6", "CS8"}, {"bladerf", "2e6", "CS16"}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.family + " at " + each.rate);
        simulateHackRf(each.family == "hackrf" ? "board H1\nrx-paced\n" : "");
        simulateBladeRf(each.family == "bladerf" ? "board serial=B1\nrx-paced\n" : "");
        // The tool reports its rate every 5 s and streams until interrupted.
        const test::ProcessResult run = test::runProcess(
            "/usr/bin/timeout", {"-s", "INT", "7", kSoapyTool, "--args=driver=veltrano,family=" + each.family,
                                 std::string("--rate=") + each.rate, "--direction=RX"});
        const std::string output = run.standardOutput + run.standardError;
        EXPECT_THAT(output, Not(HasSubstr("rror")));
        EXPECT_THAT(output, Not(HasSubstr("Overflow")));
        EXPECT_THAT(run.standardOutput, HasSubstr(std::string("Stream format: ") + each.format + "\n"));
        std::smatch rate;
        ASSERT_TRUE(std::regex_search(run.standardOutput, rate, std::regex("([0-9.e+-]+) Msps\t"))) << output;
        EXPECT_GT(std::stod(rate[1]), 0.5 * std::stod(each.rate) / 1e6);
    }
}

TEST_F(SoapyTool, aPythonScriptReadsComplexSamplesFromASimulatedBoard)
{
    const test::ScopedEnvironment bladeRfOnly("SOAPY_FIND", "driver=veltrano,family=bladerf");
    const test::ProcessResult run =
        test::runProcess("/usr/bin/python3", {VELTRANO_SOURCE_DIRECTORY "/examples/python/read_samples.py", "50000"});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_THAT(run.standardOutput, HasSubstr("found bladerf B1 (bladeRF_2.0 B1)\n"));
    EXPECT_THAT(run.standardOutput, HasSubstr("read 50000 samples, 0 overflows"));
}

} // namespace
} // namespace veltrano
