// SPDX-License-Identifier: MIT
// Opera Cake antenna switches through Debian's real libhackrf on the
// emulated board, whose firmware keeps them as the real one does: the
// boards stacked become antennas, a port chosen by name is switched at
// once, a frequency plan makes the board switch on every retune, and
// hostile choices are refused with words before anything reaches the board.
#include "device/hackrf/HackRfApi.h"
#include "tests/reallib/RealLibHackRf.h"

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
#include "tests/soapy/SoapyFixture.h"
#endif

#include <gmock/gmock.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using AntennaRange = ISdrDevice::AntennaRange;

constexpr double kMhz = 1e6;

class RealLibOperaCake : public test::RealLibHackRf {
protected:
    void TearDown() override { veltrano_usb_hackrf_stack_operacakes(nullptr, ""); }

    // Opens the board with Opera Cakes stacked at these addresses ("0,1").
    static std::unique_ptr<HackRfSdrDevice> openWith(const char* stack)
    {
        veltrano_usb_hackrf_stack_operacakes(nullptr, stack);
        return std::make_unique<HackRfSdrDevice>(test::kEmulatedSerial);
    }

    // What the board's Opera Cake at this address connects: "B3/A3" is
    // common port A on B3 and B on A3.
    static std::string portsOf(std::uint8_t address)
    {
        const auto name = [](int port) { return std::string(1, port < 4 ? 'A' : 'B') + std::to_string(port % 4 + 1); };
        return name(veltrano_usb_hackrf_operacake(nullptr, address, "port_a")) + "/" +
               name(veltrano_usb_hackrf_operacake(nullptr, address, "port_b"));
    }
};

struct StackCase {
    const char* stack;
    std::vector<std::string> accessories;
    std::size_t antennas;
    std::string firstAntenna; // and the antenna in force at open
    std::string lastAntenna;
};

void PrintTo(const StackCase& each, std::ostream* out)
{
    *out << "stack \"" << each.stack << "\"";
}

class RealLibOperaCakeStack : public RealLibOperaCake, public ::testing::WithParamInterface<StackCase> {};

TEST_P(RealLibOperaCakeStack, everyPortOfEveryBoardStackedIsAnAntennaOfBothChains)
{
    const StackCase& each = GetParam();
    const auto device = openWith(each.stack);
    EXPECT_EQ(device->accessories(), each.accessories);
    for (const StreamDirection direction : {StreamDirection::rx, StreamDirection::tx}) {
        const std::vector<std::string> names = device->antennas(direction);
        ASSERT_EQ(names.size(), each.antennas);
        if (!names.empty()) {
            EXPECT_EQ(names.front(), each.firstAntenna);
            EXPECT_EQ(names.back(), each.lastAntenna);
        }
        EXPECT_EQ(device->antenna(direction), each.firstAntenna);
    }
}

INSTANTIATE_TEST_SUITE_P(Stacks, RealLibOperaCakeStack,
                         ::testing::Values(StackCase{"", {}, 0, "", ""},
                                           StackCase{"0", {"Opera Cake 0"}, 8, "A1", "B4"},
                                           StackCase{"1,5", {"Opera Cake 1", "Opera Cake 5"}, 16, "A1@1", "B4@5"}),
                         [](const auto& info) { return "stack" + std::to_string(info.index); });

struct ChoiceCase {
    const char* name;
    const char* stack;
    const char* antenna;
    std::string board0; // ports of the boards at addresses 0 and 1 after the choice
    std::string board1;
};

void PrintTo(const ChoiceCase& each, std::ostream* out)
{
    *out << each.name;
}

class RealLibOperaCakeChoice : public RealLibOperaCake, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(RealLibOperaCakeChoice, aPortChosenByNameIsSwitchedAtOnceAndPortBMirrorsIt)
{
    const ChoiceCase& each = GetParam();
    const auto device = openWith(each.stack);
    ASSERT_TRUE(device->setAntenna(StreamDirection::rx, each.antenna)) << device->lastError();
    EXPECT_EQ(portsOf(0), each.board0);
    EXPECT_EQ(each.board1.empty() ? -1 : 0, veltrano_usb_hackrf_operacake(nullptr, 1, "mode"));
    if (!each.board1.empty()) {
        EXPECT_EQ(portsOf(1), each.board1);
    }
    EXPECT_EQ(device->antenna(StreamDirection::tx), each.antenna);
}

INSTANTIATE_TEST_SUITE_P(Choices, RealLibOperaCakeChoice,
                         ::testing::Values(ChoiceCase{"sideB", "0", "B2", "B2/A2", ""},
                                           ChoiceCase{"aPairForASecondRadio", "0", "A3/B1", "A3/B1", ""},
                                           ChoiceCase{"theSecondBoardOnly", "0,1", "B4@1", "A1/B1", "B4/A4"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RealLibOperaCake, aFrequencyPlanSwitchesTheBoardOnEveryRetuneUntilAPortIsChosenByName)
{
    const auto device = openWith("0");
    ASSERT_TRUE(device->configureRx({433e6, 10e6, 10e6, 20.0})) << device->lastError();
    const std::vector<AntennaRange> plan{{"A2", {100 * kMhz, 900 * kMhz}}, {"B3", {2400 * kMhz, 2500 * kMhz}}};
    ASSERT_TRUE(device->setAntennaPlan(plan)) << device->lastError();
    EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "mode"), 1);
    EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "ranges"), 2);
    // Set while tuned to 433 MHz: the board is tuned again so that the plan holds at once.
    EXPECT_EQ(portsOf(0), "A2/B2");
    const struct {
        double frequencyHz;
        const char* antenna;
    } retunes[] = {
        {2450e6, "B3"}, {100e6, "A2"}, {900.5e6, "A2"}, // the board compares whole MHz
        {1200e6, "B3"},                                 // outside every range: the last range's port
        {2400e6, "B3"},
    };
    for (const auto& retune : retunes) {
        ASSERT_TRUE(device->setRxFrequency(retune.frequencyHz)) << device->lastError();
        EXPECT_EQ(portsOf(0).substr(0, 2), retune.antenna) << retune.frequencyHz;
        EXPECT_EQ(device->antenna(StreamDirection::rx), retune.antenna) << retune.frequencyHz;
    }
    ASSERT_TRUE(device->setAntenna(StreamDirection::rx, "A4")) << device->lastError();
    EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "mode"), 0);
    EXPECT_EQ(portsOf(0), "A4/B4");
    EXPECT_TRUE(device->antennaPlan().empty());
    ASSERT_TRUE(device->setRxFrequency(2450e6));
    EXPECT_EQ(portsOf(0), "A4/B4");
}

struct HostileCase {
    const char* name;
    const char* stack;
    const char* antenna; // chosen by name; null: the plan is set instead
    std::vector<AntennaRange> plan;
    const char* words;
};

void PrintTo(const HostileCase& each, std::ostream* out)
{
    *out << each.name;
}

class RealLibOperaCakeHostile : public RealLibOperaCake, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(RealLibOperaCakeHostile, isRefusedWithWordsAndLeavesTheBoardAsItWas)
{
    const HostileCase& each = GetParam();
    const auto device = openWith(each.stack);
    const bool taken = each.antenna != nullptr ? device->setAntenna(StreamDirection::rx, each.antenna)
                                               : device->setAntennaPlan(each.plan);
    EXPECT_FALSE(taken);
    EXPECT_THAT(device->lastError(), HasSubstr(each.words));
    if (*each.stack != '\0') {
        EXPECT_EQ(portsOf(0), "A1/B1");
        EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "mode"), 0);
        EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "ranges"), 0);
    }
}

std::vector<AntennaRange> nineRanges()
{
    std::vector<AntennaRange> plan;
    for (int i = 0; i < 9; ++i) {
        plan.push_back({"A1", {100 * kMhz * (i + 1), 100 * kMhz * (i + 1) + 50 * kMhz}});
    }
    return plan;
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, RealLibOperaCakeHostile,
    ::testing::Values(
        HostileCase{"noOperaCake", "", "A1", {}, "no Opera Cake is stacked"},
        HostileCase{"unknownPort", "0", "C1", {}, "ports are A1-A4 and B1-B4"},
        HostileCase{"portBeyondFour", "0", "A5", {}, "ports are A1-A4 and B1-B4"},
        HostileCase{"pairOnOneSide", "0", "A1/A2", {}, "opposite sides"},
        HostileCase{"unknownAddress", "0", "A1@3", {}, "no Opera Cake has address 3"},
        HostileCase{"bareNameOnTwoBoards", "0,1", "B1", {}, "does not say which Opera Cake"},
        HostileCase{"planOverlapping", "0", nullptr, {{"A1", {100e6, 900e6}}, {"B1", {900e6, 1000e6}}}, "overlap"},
        HostileCase{"planEmptyRange", "0", nullptr, {{"A1", {900e6, 100e6}}}, "empty"},
        HostileCase{"planNotWholeMhz", "0", nullptr, {{"A1", {100.5e6, 200e6}}}, "whole MHz"},
        HostileCase{"planUnknownAntenna", "0", nullptr, {{"X1", {100e6, 200e6}}}, "ports are A1-A4"},
        HostileCase{"planOfAPair", "0", nullptr, {{"A1/B3", {100e6, 200e6}}}, "a range takes one port"},
        HostileCase{
            "planOnTwoBoards", "0,1", nullptr, {{"A1@0", {100e6, 200e6}}, {"B1@1", {300e6, 400e6}}}, "two Opera Cakes"},
        HostileCase{"planOfNineRanges", "0", nullptr, nineRanges(), "an Opera Cake takes 8"}),
    [](const auto& info) { return std::string(info.param.name); });

// The firmware's own refusals, asked through the library directly: a range
// list without a range and dwell times without one are stalled, more dwell
// times than the firmware keeps the library refuses itself.
TEST_F(RealLibOperaCake, theFirmwareStallsARangeListOrDwellTimesWithoutEntries)
{
    veltrano_usb_hackrf_stack_operacakes(nullptr, "0");
    const HackRfApi& api = hackRfApi();
    ASSERT_TRUE(api.loaded);
    decltype(&::hackrf_set_operacake_dwell_times) setDwellTimes = nullptr;
    platform::resolveFunction(api.module, setDwellTimes, "hackrf_set_operacake_dwell_times");
    ASSERT_NE(setDwellTimes, nullptr);
    hackrf_device* device = nullptr;
    ASSERT_EQ(api.openBySerial(test::kEmulatedSerial, &device), HACKRF_SUCCESS);
    hackrf_operacake_freq_range range{100, 200, OPERACAKE_PA2};
    EXPECT_EQ(api.setOperacakeFreqRanges(device, &range, 0), HACKRF_ERROR_LIBUSB);
    EXPECT_EQ(api.setOperacakeFreqRanges(device, &range, 1), HACKRF_SUCCESS);
    EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "ranges"), 1);
    std::vector<hackrf_operacake_dwell_time> dwell(HACKRF_OPERACAKE_MAX_DWELL_TIMES + 1, {1000, OPERACAKE_PA1});
    EXPECT_EQ(setDwellTimes(device, dwell.data(), 0), HACKRF_ERROR_LIBUSB);
    EXPECT_EQ(setDwellTimes(device, dwell.data(), static_cast<std::uint8_t>(dwell.size())), HACKRF_ERROR_INVALID_PARAM);
    EXPECT_EQ(setDwellTimes(device, dwell.data(), 2), HACKRF_SUCCESS);
    EXPECT_EQ(veltrano_usb_hackrf_operacake(nullptr, 0, "dwell_times"), 2);
    EXPECT_EQ(api.close(device), HACKRF_SUCCESS);
}

#ifdef VELTRANO_SOAPY_MODULE_DIRECTORY
// Through the module: the ports as antennas, the plan as a device argument
// and a setting, and refusals as exceptions with the board's words.
TEST_F(RealLibOperaCake, theModuleOffersThePortsAndThePlan)
{
    const test::OnlyOurSoapyModule onlyOurs;
    veltrano_usb_hackrf_stack_operacakes(nullptr, "0");
    const test::SoapyDevicePointer device(SoapySDR::Device::make(
        std::string("driver=veltrano,operacake_freq_plan=A2:100-900;B3:2400-2500,serial=") + test::kEmulatedSerial));
    EXPECT_EQ(device->getHardwareInfo()["accessories"], "Opera Cake 0");
    EXPECT_THAT(device->listAntennas(SOAPY_SDR_RX, 0), ElementsAre("A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4"));
    EXPECT_EQ(device->readSetting("operacake_freq_plan"), "A2:100-900;B3:2400-2500");
    device->setFrequency(SOAPY_SDR_RX, 0, 2450e6);
    EXPECT_EQ(portsOf(0), "B3/A3");
    EXPECT_EQ(device->getAntenna(SOAPY_SDR_RX, 0), "B3");
    device->setAntenna(SOAPY_SDR_TX, 0, "A4");
    EXPECT_EQ(portsOf(0), "A4/B4");
    EXPECT_EQ(device->readSetting("operacake_freq_plan"), "");
    const struct {
        std::function<void()> request;
        const char* words;
    } refusals[] = {
        {[&] { device->setAntenna(SOAPY_SDR_RX, 0, "C1"); }, "ports are A1-A4"},
        {[&] { device->writeSetting("operacake_freq_plan", "A1:100"); }, "ANTENNA:LOW-HIGH"},
        {[&] { device->writeSetting("operacake_freq_plan", "A1:100-900,B1:800-1000"); }, "overlap at 800 MHz"},
    };
    for (const auto& refusal : refusals) {
        try {
            refusal.request();
            ADD_FAILURE() << "not refused: " << refusal.words;
        } catch (const std::exception& error) {
            EXPECT_THAT(error.what(), HasSubstr(refusal.words));
        }
    }
    EXPECT_EQ(portsOf(0), "A4/B4");
}
#endif

} // namespace
} // namespace veltrano
