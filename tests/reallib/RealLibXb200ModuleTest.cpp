// SPDX-License-Identifier: MIT
// The XB-200 through the module on the emulated x40: attached by a device
// argument, the tuning range reaches down past 60 kHz and a tune below 300
// MHz reaches the board through the transverter's mixer; a mode it does not
// have is refused.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <SoapySDR/Device.hpp>

#include <stdexcept>
#include <string>

namespace veltrano {
namespace {

constexpr int kMixer = 1;
constexpr int kBypass = 2;

class RealLibXb200Module : public test::RealLibBladeRf {};

TEST_F(RealLibXb200Module, theModuleAttachesAnXb200ByItsDeviceArgumentAndTunesThroughIt)
{
    const test::OnlyOurSoapyModule onlyOurs;
    const std::string board = std::string("driver=veltrano,serial=") + test::kEmulatedBladeRfSerial;
    EXPECT_THROW(SoapySDR::Device::make(board + ",xb200=60M"), std::runtime_error);

    const test::SoapyDevicePointer device(SoapySDR::Device::make(board + ",xb200=auto"));
    EXPECT_EQ(device->readSetting("xb200"), "auto");
    EXPECT_EQ(device->getHardwareInfo()["accessories"], "XB-200");
    EXPECT_LE(device->getFrequencyRange(SOAPY_SDR_RX, 0).front().minimum(), 60e3);
    device->setFrequency(SOAPY_SDR_RX, 0, 100e6);
    EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_path"), kMixer);
    device->setFrequency(SOAPY_SDR_RX, 0, 433e6);
    EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_path"), kBypass);
}

} // namespace
} // namespace veltrano
