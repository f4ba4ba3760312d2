// SPDX-License-Identifier: MIT
// The module's mapping of SoapySDR's device calls onto our boards, in
// process: the test asks SoapySDR, SoapySDR loads the module, the module
// drives the simulated libraries, and the journals show what reached them.
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>
#include <stdexcept>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

using SoapyMapping = test::SoapyModule;

TEST_F(SoapyMapping, findListsTheBoardsOfBothFamiliesAndFiltersByFamilyAndSerial)
{
    simulateOneBoardOfEach();
    const struct {
        const char* args;
        std::vector<std::string> serials;
    } cases[] = {
        {"driver=veltrano", {"hackrf:H1", "hackrf:H2", "bladerf:B1"}},
        {"driver=veltrano,family=bladerf", {"bladerf:B1"}},
        {"driver=veltrano,serial=H2", {"hackrf:H2"}},
        {"driver=veltrano,family=bladerf,serial=H2", {}},
        {"driver=veltrano,family=airspy", {}},
    };
    for (const auto& each : cases) {
        std::vector<std::string> serials;
        for (const SoapySDR::Kwargs& board : SoapySDR::Device::enumerate(each.args)) {
            serials.push_back(board.at("family") + ":" + board.at("serial"));
        }
        EXPECT_EQ(serials, each.serials) << each.args;
    }
    const SoapySDR::Kwargs bladeRf = SoapySDR::Device::enumerate("driver=veltrano,family=bladerf").at(0);
    EXPECT_THAT(bladeRf, ElementsAre(Pair("driver", "veltrano"), Pair("family", "bladerf"),
                                     Pair("label", "bladeRF_2.0 B1"), Pair("serial", "B1")));
    EXPECT_EQ(SoapySDR::Device::enumerate("driver=veltrano").at(0).at("label"), "HackRF One H1");
}

// What SoapySDR's tool prints of a board (keys, channels, formats, ranges) is
// the tool test's; here what it cannot show.
TEST_F(SoapyMapping, makeOpensEachFamilysBoardBySerialAndDescribesIt)
{
    simulateOneBoardOfEach();
    const auto device = make("driver=veltrano,serial=H2");
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"), ElementsAre("hackrf_open_by_serial H2 -> 0"));
    // Firmware of USB API 1.02 cannot tell its revision.
    EXPECT_THAT(device->getHardwareInfo(),
                ElementsAre(Pair("backend", "hackrf-native"), Pair("board_id", "HackRF One"), Pair("family", "hackrf"),
                            Pair("firmware_version", "fw-7"), Pair("label", "HackRF One"),
                            Pair("library_version", "2026.01.1-sim"), Pair("serial", "H2"),
                            Pair("usb_api_version", "1.02")));
    EXPECT_EQ(device->readSetting("rx_amplifier"), "false");

    const auto bladeRfDevice = make("driver=veltrano,family=bladerf");
    EXPECT_THAT(bladeRf().calls("bladerf_open"), ElementsAre("bladerf_open *:serial=B1 -> 0"));
    EXPECT_EQ(bladeRfDevice->getNumChannels(SOAPY_SDR_RX), 1u);
    EXPECT_EQ(bladeRfDevice->getNumChannels(SOAPY_SDR_TX), 0u); // a board without transmit
    EXPECT_THROW(bladeRfDevice->setFrequency(SOAPY_SDR_TX, 0, 100e6), std::runtime_error);
    EXPECT_THROW(bladeRfDevice->readSetting("rx_amplifier"), std::runtime_error);
}

// A boolean sensor reads "true" or "false"; one the firmware cannot report
// is not listed, and reading it anyway throws with the reason.
struct ClockInCase {
    const char* name;
    const char* script;
    std::vector<std::string> sensors;
    const char* reading; // the value, or words of the refusal
};

void PrintTo(const ClockInCase& each, std::ostream* out)
{
    *out << each.name;
}

class SoapyClockIn : public test::SoapyModule, public ::testing::WithParamInterface<ClockInCase> {};

TEST_P(SoapyClockIn, readsAsABooleanWhereTheFirmwareCanTell)
{
    const ClockInCase& each = GetParam();
    simulateHackRf(std::string("board H1\n") + each.script);
    const auto device = make("driver=veltrano,family=hackrf");
    EXPECT_EQ(device->listSensors(), each.sensors);
    if (!each.sensors.empty()) {
        EXPECT_EQ(device->getSensorInfo("clock_in").type, SoapySDR::ArgInfo::BOOL);
        EXPECT_EQ(device->readSensor("clock_in"), each.reading);
        return;
    }
    EXPECT_THROW(device->getSensorInfo("clock_in"), std::runtime_error);
    try {
        device->readSensor("clock_in");
        ADD_FAILURE() << "read a sensor the firmware cannot report";
    } catch (const std::runtime_error& refusal) {
        EXPECT_THAT(refusal.what(), ::testing::HasSubstr(each.reading));
    }
}

INSTANTIATE_TEST_SUITE_P(Firmware, SoapyClockIn,
                         ::testing::Values(ClockInCase{"clockPresent", "clock-in 1\n", {"clock_in"}, "true"},
                                           ClockInCase{"noClock", "", {"clock_in"}, "false"},
                                           ClockInCase{"oldFirmware", "usb-api 0x0104\n", {}, "USB API 0x0104"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoapyMapping, boardsWithoutSerialOpenOnlyWhenTheyAreTheFirst)
{
    simulateHackRf("board-null\nboard-null\n");
    EXPECT_NO_THROW(make("driver=veltrano,serial=HACKRF-USB-01"));
    EXPECT_THROW(make("driver=veltrano,serial=HACKRF-USB-02"), std::runtime_error);
    EXPECT_THROW(make("driver=veltrano,serial=NONE"), std::runtime_error);
    EXPECT_THAT(hackRf().calls("hackrf_open_by_serial"), ElementsAre("hackrf_open_by_serial (null) -> 0"));
}

// The module's mapping onto the board's configuration is the same for both
// families; how each board's library gets the values is the device tests'.
TEST_F(SoapyMapping, eachSetterReachesTheBoardAtOnceWhileIdle)
{
    simulateOneBoardOfEach();
    using Setter = std::function<void(SoapySDR::Device&)>;
    const std::pair<Setter, std::string> cases[] = {
        {[](auto& d) { d.setFrequency(SOAPY_SDR_RX, 0, 100e6); }, "hackrf_set_freq 100000000 -> 0"},
        {[](auto& d) { d.setSampleRate(SOAPY_SDR_RX, 0, 8e6); }, "hackrf_set_sample_rate 8000000 -> 0"},
        {[](auto& d) { d.setGain(SOAPY_SDR_RX, 0, 20); }, "hackrf_set_vga_gain 4 -> 0"},
        {[](auto& d) { d.setGain(SOAPY_SDR_TX, 0, 50); }, "hackrf_set_txvga_gain 47 -> 0"},
        {[](auto& d) { d.setBandwidth(SOAPY_SDR_TX, 0, 3e6); }, "hackrf_compute_baseband_filter_bw 3000000 -> 2500000"},
        {[](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, 5e6); }, "hackrf_set_baseband_filter_bandwidth 5000000 -> 0"},
        {[](auto& d) { d.writeSetting("rx_amplifier", "true"); }, "hackrf_set_amp_enable 1 -> 0"},
        {[](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, 1e6); }, "bladerf_set_bandwidth 0 1000000 -> 0"},
    };
    for (const auto& [set, expected] : cases) {
        const bool bladeRfCall = expected.starts_with("bladerf_");
        const auto device = make(bladeRfCall ? "driver=veltrano,family=bladerf" : "driver=veltrano,family=hackrf");
        set(*device);
        const auto calls = (bladeRfCall ? bladeRf() : hackRf()).calls(expected.substr(0, expected.find(' ')));
        EXPECT_EQ(calls.empty() ? "(never called)" : calls.back(), expected);
    }
}

TEST_F(SoapyMapping, aValueTheBoardRefusesFailsAndKeepsTheSettingInForce)
{
    simulateOneBoardOfEach();
    const auto device = make("driver=veltrano,family=hackrf");
    device->setSampleRate(SOAPY_SDR_RX, 0, 8e6);
    EXPECT_THROW(device->setSampleRate(SOAPY_SDR_RX, 0, 1e6), std::runtime_error);
    EXPECT_EQ(device->getSampleRate(SOAPY_SDR_RX, 0), 8e6);
    EXPECT_THAT(device->readSetting("last_error"), "invalid RX configuration");
}

// Clients that offer menus read the lists (one takes the last rate as the
// largest): each family and direction lists values in ascending order, within
// the ranges, that the board takes and reads back; a HackRF its 16 filters.
TEST_F(SoapyMapping, theRateAndBandwidthListsLieInTheRangesAndTheBoardTakesEachValue)
{
    simulateHackRf("board H1\n");
    simulateBladeRf("board serial=B1\n");
    const auto within = [](double value, const SoapySDR::RangeList& ranges) {
        return std::any_of(ranges.begin(), ranges.end(),
                           [value](const auto& range) { return value >= range.minimum() && value <= range.maximum(); });
    };
    for (const char* family : {"hackrf", "bladerf"}) {
        const auto device = make(std::string("driver=veltrano,family=") + family);
        for (const int direction : {SOAPY_SDR_RX, SOAPY_SDR_TX}) {
            SCOPED_TRACE(std::string(family) + (direction == SOAPY_SDR_TX ? " TX" : " RX"));
            const std::vector<double> rates = device->listSampleRates(direction, 0);
            const std::vector<double> widths = device->listBandwidths(direction, 0);
            ASSERT_GE(rates.size(), 5u);
            ASSERT_GE(widths.size(), 5u);
            EXPECT_TRUE(std::is_sorted(rates.begin(), rates.end()));
            EXPECT_TRUE(std::is_sorted(widths.begin(), widths.end()));
            EXPECT_EQ(rates.back(), device->getSampleRateRange(direction, 0).back().maximum());
            for (const double rate : rates) {
                EXPECT_TRUE(within(rate, device->getSampleRateRange(direction, 0))) << rate;
                EXPECT_NO_THROW(device->setSampleRate(direction, 0, rate)) << rate;
                EXPECT_NEAR(device->getSampleRate(direction, 0), rate, 1.0) << rate;
            }
            for (const double width : widths) {
                EXPECT_TRUE(within(width, device->getBandwidthRange(direction, 0))) << width;
                EXPECT_NO_THROW(device->setBandwidth(direction, 0, width)) << width;
            }
            if (std::string(family) == "hackrf") {
                EXPECT_EQ(widths.size(), 16u);
            }
        }
    }
}

// A settings dialog (CubicSDR's) starts a board by writing back every setting
// the board lists, the read-only ones with the values it remembers, and the
// antenna it remembers, none for a board with one: each family takes all of
// it, and what it reads does not change.
TEST_F(SoapyMapping, aSettingsDialogsWriteBackOfEverySettingAndOfNoAntennaIsTaken)
{
    simulateHackRf("board H1\n");
    simulateBladeRf("board serial=B1\n");
    for (const char* family : {"hackrf", "bladerf"}) {
        SCOPED_TRACE(family);
        const auto device = make(std::string("driver=veltrano,family=") + family);
        const SoapySDR::ArgInfoList settings = device->getSettingInfo();
        ASSERT_GE(settings.size(), 3u);
        for (const SoapySDR::ArgInfo& setting : settings) {
            const std::string value = device->readSetting(setting.key);
            EXPECT_NO_THROW(device->writeSetting(setting.key, value)) << setting.key;
            if (setting.description.starts_with("Read only")) {
                EXPECT_NO_THROW(device->writeSetting(setting.key, "262144")) << setting.key;
            }
            EXPECT_EQ(device->readSetting(setting.key), value) << setting.key;
        }
        for (const int direction : {SOAPY_SDR_RX, SOAPY_SDR_TX}) {
            if (device->getNumChannels(direction) > 0) {
                const std::string antenna = device->getAntenna(direction, 0);
                EXPECT_NO_THROW(device->setAntenna(direction, 0, ""));
                EXPECT_EQ(device->getAntenna(direction, 0), antenna);
            }
        }
    }
}

} // namespace
} // namespace veltrano
