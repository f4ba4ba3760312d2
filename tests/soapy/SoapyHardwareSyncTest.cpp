// SPDX-License-Identifier: MIT
// The HackRF's hw_sync setting through the module SoapySDR loads: listed
// where the library has the sync calls, taken as a setting or a device
// argument, and a stream started with it waits for the pulse.
#include "tests/soapy/SoapyFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace veltrano::test {
namespace {

bool listsHardwareSync(const SoapySDR::Device& device)
{
    const SoapySDR::ArgInfoList settings = device.getSettingInfo();
    return std::any_of(settings.begin(), settings.end(),
                       [](const SoapySDR::ArgInfo& setting) { return setting.key == "hw_sync"; });
}

struct HardwareSyncCase {
    const char* name;
    const char* deviceArguments;
    bool writeSetting;
};

class SoapyHardwareSync : public SoapyModule, public ::testing::WithParamInterface<HardwareSyncCase> {};

TEST_P(SoapyHardwareSync, StartWaitsForThePulse)
{
    const HardwareSyncCase& c = GetParam();
    simulateHackRf("board H1\nboard H2\nrx-free-run 4096\n");
    const auto device = make(std::string("driver=veltrano,family=hackrf,serial=H2") + c.deviceArguments);
    ASSERT_TRUE(device);
    ASSERT_TRUE(listsHardwareSync(*device));
    if (c.writeSetting) {
        device->writeSetting("hw_sync", "true");
    }
    EXPECT_EQ(device->readSetting("hw_sync"), "true");
    EXPECT_EQ(hackRf().calls("hackrf_set_hw_sync_mode"), std::vector<std::string>{"hackrf_set_hw_sync_mode 1 -> 0"});
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS8);
    std::vector<std::int8_t> bytes(2048);
    EXPECT_EQ(readTimed(*device, stream, bytes.data(), 1024, 200'000).result, SOAPY_SDR_TIMEOUT);
    device->deactivateStream(stream);
    device->closeStream(stream);
    device->writeSetting("hw_sync", "false");
    EXPECT_EQ(device->readSetting("hw_sync"), "false");
    EXPECT_EQ(hackRf().calls("hackrf_set_hw_sync_mode").back(), "hackrf_set_hw_sync_mode 0 -> 0");
}

INSTANTIATE_TEST_SUITE_P(Ways, SoapyHardwareSync,
                         ::testing::Values(HardwareSyncCase{"setting", "", true},
                                           HardwareSyncCase{"deviceArgument", ",hw_sync=true", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoapyModule, NoHardwareSyncWithoutTheLibrarysCalls)
{
    simulateHackRf("board H1\n", "sim-hackrf-no-hw-sync");
    const auto device = make("driver=veltrano,family=hackrf");
    ASSERT_TRUE(device);
    EXPECT_FALSE(listsHardwareSync(*device));
    EXPECT_ANY_THROW(device->writeSetting("hw_sync", "true"));
}

} // namespace
} // namespace veltrano::test
