// SPDX-License-Identifier: MIT
// The SoapySDR module, loaded by SoapySDR in the test's process, on the
// emulated bladeRF 2.0 micro through Debian's real libbladeRF, in the tuning
// mode the build names: the library's default, where it drives the AD9361
// itself, or the FPGA's. What a client sees of the gains differs by mode, and
// the automatic gain reaches the board differently.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using test::RealLibBladeRf;

struct TuningMode {
    // What the module reads of the AD9361's temperature: a value, or the
    // words of its refusal (the library reads it only when it drives the chip).
    const char* temperature;
    std::vector<std::string> rxStages;
    std::vector<std::string> txStages;
    // What the board holds for the receive gain mode under automatic gain:
    // the chip's own gain control (3: its slow attack AGC, libbladeRF's
    // default for the micro), or the library's BLADERF_GAIN_DEFAULT (0) as
    // sent to the FPGA, which picks the AGC itself.
    std::int64_t automaticGainOnBoard;
};
#ifdef VELTRANO_MICRO_FPGA_TUNING
// The library lists no stages when the FPGA drives the chip.
const TuningMode kMode = {"in host tuning mode", {}, {}, 0};
#else
const TuningMode kMode = {"40.351", {"full"}, {"dsa"}, 3};
#endif
constexpr unsigned kRficGainMode = 6;
constexpr std::int64_t kManualGainMode = 1; // BLADERF_GAIN_MGC

// The automatic gain goes to the board at once and again after the stream's
// own configuration (which sets manual gain), and off once it is switched off.
TEST_F(RealLibBladeRf, theModuleOffersTheMicrosStagesAndKeepsItsAutomaticGainOverTheStreamsStart)
{
    const test::OnlyOurSoapyModule onlyOurs;
    const std::vector<SoapySDR::Kwargs> found = SoapySDR::Device::enumerate("driver=veltrano");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].at("serial"), test::kEmulatedBladeRfSerial);
    const test::SoapyDevicePointer device(
        SoapySDR::Device::make(std::string("driver=veltrano,serial=") + test::kEmulatedBladeRfSerial));
    EXPECT_EQ(device->listGains(SOAPY_SDR_RX, 0), kMode.rxStages);
    EXPECT_EQ(device->listGains(SOAPY_SDR_TX, 0), kMode.txStages);

    ASSERT_TRUE(device->hasGainMode(SOAPY_SDR_RX, 0));
    device->setGainMode(SOAPY_SDR_RX, 0, true);
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), kMode.automaticGainOnBoard);
    device->setSampleRate(SOAPY_SDR_RX, 0, 2e6);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    ASSERT_EQ(device->activateStream(stream), 0);
    EXPECT_TRUE(device->getGainMode(SOAPY_SDR_RX, 0));
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), kMode.automaticGainOnBoard);
    std::vector<std::int16_t> samples(2 * 4096);
    void* buffers[] = {samples.data()};
    int flags = 0;
    long long timeNs = 0;
    EXPECT_EQ(device->readStream(stream, buffers, 4096, flags, timeNs, 1'000'000), 4096);
    device->setGainMode(SOAPY_SDR_RX, 0, false);
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), kManualGainMode);
    device->deactivateStream(stream);
    device->closeStream(stream);
}

// Both receive channels through the module, one buffer each: the board's
// pattern on channel 0 and the same samples with I and Q exchanged on
// channel 1, stamped; channel 1's automatic gain and gain reach the board's
// second receiver only.
TEST_F(RealLibBladeRf, theModuleStreamsBothReceiveChannelsAndGivesTheSecondItsOwnGainControl)
{
    const test::OnlyOurSoapyModule onlyOurs;
    const test::SoapyDevicePointer device(
        SoapySDR::Device::make(std::string("driver=veltrano,serial=") + test::kEmulatedBladeRfSerial));
    ASSERT_EQ(device->getNumChannels(SOAPY_SDR_RX), 2u);
    device->setSampleRate(SOAPY_SDR_RX, 0, 2e6);
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0, 1});
    device->setGainMode(SOAPY_SDR_RX, 1, true);
    ASSERT_EQ(device->activateStream(stream), 0);
    constexpr unsigned kSecondReceiver = 2; // BLADERF_CHANNEL_RX(1)
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, kSecondReceiver), kMode.automaticGainOnBoard);
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, 0), kManualGainMode);
    std::vector<std::int16_t> samples[2] = {std::vector<std::int16_t>(2 * 8192), std::vector<std::int16_t>(2 * 8192)};
    void* buffers[] = {samples[0].data(), samples[1].data()};
    int flags = 0;
    long long timeNs = 0;
    ASSERT_EQ(device->readStream(stream, buffers, 8192, flags, timeNs, 1'000'000), 8192);
    EXPECT_NE(flags & SOAPY_SDR_HAS_TIME, 0);
    bool exchanged = true;
    for (std::size_t k = 0; k < 8192; ++k) {
        exchanged = exchanged && samples[0][2 * k] == samples[1][2 * k + 1] && samples[0][2 * k + 1] == samples[1][2 * k];
    }
    EXPECT_TRUE(exchanged);
    EXPECT_NE(samples[0][0], samples[0][2]); // a pattern, not silence
    device->setGainMode(SOAPY_SDR_RX, 1, false);
    EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, kRficGainMode, kSecondReceiver), kManualGainMode);
    device->deactivateStream(stream);
    device->closeStream(stream);
}

// The identity a client checks first when something misbehaves, and the
// sensors: the board-wide temperature, the receive channel's RSSI.
TEST_F(RealLibBladeRf, theModuleReportsTheMicrosVersionsAndReadsItsSensors)
{
    const test::OnlyOurSoapyModule onlyOurs;
    const test::SoapyDevicePointer device(
        SoapySDR::Device::make(std::string("driver=veltrano,serial=") + test::kEmulatedBladeRfSerial));
    const SoapySDR::Kwargs hardware = device->getHardwareInfo();
    EXPECT_EQ(hardware.at("firmware_version"), "2.4.0");
    EXPECT_EQ(hardware.at("fpga_version"), "0.14.0");
    EXPECT_EQ(hardware.at("fpga_size"), "A4");
    EXPECT_EQ(hardware.at("fpga_loaded"), "true");
    EXPECT_EQ(hardware.count("library_version"), 1u);
    EXPECT_EQ(hardware.count("board_revision"), 0u);

    EXPECT_EQ(device->listSensors(), (std::vector<std::string>{"rfic_temperature", "ref_locked"}));
    EXPECT_EQ(device->readSensor("ref_locked"), "false"); // on its own oscillator
    EXPECT_EQ(device->getSensorInfo("rfic_temperature").units, "°C");
    try {
        EXPECT_EQ(device->readSensor("rfic_temperature"), kMode.temperature);
    } catch (const std::runtime_error& refusal) {
        EXPECT_THAT(refusal.what(), ::testing::HasSubstr(kMode.temperature));
    }
    EXPECT_EQ(device->listSensors(SOAPY_SDR_RX, 0), std::vector<std::string>{"rssi"});
    EXPECT_EQ(device->readSensor(SOAPY_SDR_RX, 0, "rssi"), "-60");
    EXPECT_TRUE(device->listSensors(SOAPY_SDR_TX, 0).empty());
    EXPECT_THROW(device->readSensor(SOAPY_SDR_TX, 0, "rssi"), std::runtime_error);
    EXPECT_THROW(device->getSensorInfo("humidity"), std::runtime_error);
}

} // namespace
} // namespace veltrano
