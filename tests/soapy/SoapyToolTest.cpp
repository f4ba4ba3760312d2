// SPDX-License-Identifier: MIT
// SoapySDR's own tool, an unmodified SoapySDR application, finds and probes
// the simulated boards through the module.
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

TEST_F(SoapyTool, findListsEveryBoardWithItsFamilySerialAndLabel)
{
    const test::ProcessResult found = test::runProcess(kSoapyTool, {"--find=driver=veltrano"});
    EXPECT_EQ(found.exitStatus, 0) << found.standardError;
    EXPECT_THAT(found.standardOutput, HasSubstr("Found device 0\n  driver = veltrano\n  family = hackrf\n"
                                                "  label = HackRF One H1\n  serial = H1\n"));
    EXPECT_THAT(found.standardOutput, HasSubstr("Found device 1\n  driver = veltrano\n  family = bladerf\n"
                                                "  label = bladeRF_2.0 B1\n  serial = B1\n"));
}

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

TEST_F(SoapyTool, rateTestStreamsFromBothFamiliesAtTheRateAskedWithoutErrors)
{
    // At 4 MS/s in CF32: the simulated bladeRF takes 4.096 ms for each read of
    // 16384 samples, a board at 4 MS/s, so the tool can count no more than
    // that unless samples were made up; the simulated HackRF runs as fast as
    // it is read and overflows, which the tool counts but does not call an
    // error. At each board's top rate, paced like the real one, the tool
    // streams in the native format it is offered and must lose nothing.
    const struct {
        const char* family;
        const char* hackRfScript;
        const char* bladeRfScript;
        const char* rate;
        const char* expected; // in the output
        bool topRate;
    } cases[] = {
        {"hackrf", "board H1\nrx-free-run 262144\n", "", "4e6", "hackrf_set_sample_rate 4000000 -> 0", false},
        {"bladerf", "", "board serial=B1\nrx-pace-us 4096\n", "4e6", "bladerf_set_sample_rate 0 4000000 -> 0", false},
        {"hackrf", "board H1\nrx-paced\n", "", "20e6", "Stream format: CS8\n", true},
        {"bladerf", "", "board serial=B1\nrx-paced\n", "40e6", "Stream format: CS16\n", true},
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
        std::smatch rate;
        ASSERT_TRUE(std::regex_search(run.standardOutput, rate, std::regex("([0-9.e+-]+) Msps\t"))) << output;
        if (each.topRate) {
            EXPECT_THAT(run.standardOutput, HasSubstr(each.expected));
            EXPECT_GT(std::stod(rate[1]), 0.5 * std::stod(each.rate) / 1e6);
            EXPECT_THAT(output, Not(HasSubstr("Overflow")));
            continue;
        }
        EXPECT_THAT(run.standardOutput, HasSubstr("Begin RX rate test at 4 Msps"));
        EXPECT_GT(std::stod(rate[1]), 0.0);
        if (std::string(each.family) == "bladerf") {
            EXPECT_LE(std::stod(rate[1]), 4.0);
        }
        const std::string call(each.expected);
        const test::SimulatorSession& board = std::string(each.family) == "hackrf" ? hackRf() : bladeRf();
        EXPECT_THAT(board.calls(call.substr(0, call.find(' '))), testing::Contains(call));
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
