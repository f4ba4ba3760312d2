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

TEST_F(SoapyTool, probeDescribesTheBoardsOfBothFamilies)
{
    const struct {
        const char* args;
        const char* identification;
        const char* channels;
        const char* rates;
    } cases[] = {
        {"--probe=driver=veltrano,family=hackrf", "hardware=HackRF One", "Channels: 1 Rx, 1 Tx", "[2, 20] MSps"},
        {"--probe=driver=veltrano,serial=B1", "hardware=bladerf2", "Channels: 1 Rx, 1 Tx", "[0.520834, 61.44] MSps"},
    };
    for (const auto& each : cases) {
        const test::ProcessResult probed = test::runProcess(kSoapyTool, {each.args});
        EXPECT_EQ(probed.exitStatus, 0) << probed.standardError;
        EXPECT_THAT(probed.standardOutput, HasSubstr(each.identification));
        EXPECT_THAT(probed.standardOutput, HasSubstr(each.channels));
        EXPECT_THAT(probed.standardOutput, HasSubstr("Sample rates: " + std::string(each.rates)));
    }
}

TEST_F(SoapyTool, rateTestStreamsFromEachFamilyAtItsTopRateInItsNativeFormatWithoutLoss)
{
    // Each board paced like the real one at its top rate: the tool streams in
    // the native format it is offered and must lose nothing. (That the rate
    // asked reaches the board, and that no sample is made up, is pinned in
    // process.)
    const struct {
        const char* family;
        const char* hackRfScript;
        const char* bladeRfScript;
        const char* rate;
        const char* format;
    } cases[] = {
        {"hackrf", "board H1\nrx-paced\n", "", "20e6", "CS8"},
        {"bladerf", "", "board serial=B1\nrx-paced\n", "40e6", "CS16"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.family) + " at " + each.rate);
        simulateHackRf(each.hackRfScript);
        simulateBladeRf(each.bladeRfScript);
        // The tool reports its rate every 5 s and streams until interrupted.
        const test::ProcessResult run = test::runProcess(
            "/usr/bin/timeout", {"-s", "INT", "7", kSoapyTool, std::string("--args=driver=veltrano,family=") + each.family,
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
        test::runProcess("/usr/bin/python3", {VELTRANO_SOURCE_DIRECTORY "/soapy/python/read_samples.py", "50000"});
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_THAT(run.standardOutput, HasSubstr("found bladerf B1 (bladeRF_2.0 B1)\n"));
    EXPECT_THAT(run.standardOutput, HasSubstr("read 50000 samples, 0 overflows"));
}

} // namespace
} // namespace veltrano
