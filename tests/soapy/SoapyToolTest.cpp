// SoapySDR's own tool, an unmodified SoapySDR application, finds and probes
// the simulated boards through the module.
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

namespace veltrano {
namespace {

using ::testing::HasSubstr;

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
