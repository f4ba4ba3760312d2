// SPDX-License-Identifier: MIT
// What each family's board and library say about themselves, through the
// simulated libraries: every item read where the library has the call, left
// out where it has not, and a sensor that cannot be read says why.
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace veltrano {

void PrintTo(const BoardIdentity& identity, std::ostream* out)
{
    const auto item = [&](const char* key, const auto& value) {
        if (value) {
            *out << key << "=" << *value << " ";
        }
    };
    item("firmware", identity.firmwareVersion);
    item("fpga", identity.fpgaVersion);
    item("size", identity.fpgaSize);
    item("loaded", identity.fpgaLoaded);
    item("revision", identity.boardRevision);
    item("id", identity.boardId);
    item("library", identity.libraryVersion);
}

namespace {

using ::testing::HasSubstr;

struct IdentityCase {
    const char* name;
    const char* variant;
    const char* script;
    BoardIdentity identity;
    std::vector<std::string> sensors; // board-wide, then the receive chain's ("rx:" before the name)
    // Each sensor asked for, by the same names: its value, or words of its refusal.
    std::map<std::string, std::string> readings;
};

void PrintTo(const IdentityCase& each, std::ostream* out)
{
    *out << each.name;
}

class BoardIdentityOfEachFamily : public test::Simulation, public ::testing::WithParamInterface<IdentityCase> {};

std::vector<std::string> sensorNames(const ISdrDevice& device)
{
    std::vector<std::string> names;
    for (const SensorDescription& sensor : device.sensors()) {
        names.push_back(sensor.name);
    }
    for (const SensorDescription& sensor : device.channelSensors(StreamDirection::rx)) {
        names.push_back("rx:" + sensor.name);
    }
    EXPECT_TRUE(device.channelSensors(StreamDirection::tx).empty());
    return names;
}

TEST_P(BoardIdentityOfEachFamily, readsWhatTheBoardAndLibraryTellAndLeavesOutWhatTheyCannot)
{
    const IdentityCase& each = GetParam();
    const bool hackRfCase = std::string(each.variant).starts_with("sim-hackrf");
    std::unique_ptr<ISdrDevice> device;
    if (hackRfCase) {
        simulateHackRf(std::string("board A\n") + each.script, each.variant);
        device = std::make_unique<HackRfSdrDevice>("A");
    } else {
        simulateBladeRf(std::string("board serial=A") + (*each.script != '\0' ? " " : "") + each.script + "\n",
                        each.variant);
        device = std::make_unique<BladeRfSdrDevice>("A");
    }
    EXPECT_EQ(device->boardIdentity(), each.identity);
    EXPECT_EQ(sensorNames(*device), each.sensors);
    for (const auto& [name, expected] : each.readings) {
        const bool onChain = name.starts_with("rx:");
        const SensorReading reading =
            onChain ? device->readChannelSensor(StreamDirection::rx, name.substr(3)) : device->readSensor(name);
        if (reading.value) {
            EXPECT_EQ(std::to_string(*reading.value), expected) << name;
            EXPECT_EQ(reading.failure, "") << name;
        } else {
            EXPECT_THAT(reading.failure, HasSubstr(expected)) << name;
        }
    }
    if (!hackRfCase) {
        // A bladeRF1's library logs an error for each AD9361 question: none is asked.
        const bool asked = !bladeRf().calls("bladerf_get_rfic_temperature").empty() ||
                           !bladeRf().calls("bladerf_get_rfic_rssi").empty();
        EXPECT_EQ(asked, !each.sensors.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, BoardIdentityOfEachFamily,
    ::testing::Values(
        IdentityCase{"hackRf",
                     "sim-hackrf",
                     "clock-in 1\n",
                     {"sim-2026.01.1", {}, {}, {}, "r6", "HackRF One", "2026.01.1-sim", "1.07"},
                     {"clock_in"},
                     {{"clock_in", "1.000000"}, {"rx:rssi", "the channel has no sensor named \"rssi\""}}},
        // Firmware older than USB API 0x0106 has neither the revision nor the clock-in status.
        IdentityCase{"hackRfOldFirmware",
                     "sim-hackrf",
                     "usb-api 0x0104\n",
                     {"sim-2026.01.1", {}, {}, {}, {}, "HackRF One", "2026.01.1-sim", "1.04"},
                     {},
                     {{"clock_in", "the board's firmware (USB API 0x0104) cannot report it; 0x0106 can"}}},
        IdentityCase{"hackRfOldLibrary",
                     "sim-hackrf-no-versions",
                     "",
                     {},
                     {},
                     {{"clock_in", "the loaded libhackrf has no hackrf_get_clkin_status"}}},
        IdentityCase{"bladeRf2",
                     "sim-bladerf",
                     "",
                     {"2.4.0", "0.15.3", "A4", true, {}, {}, "sim", {}},
                     {"rfic_temperature", "rx:rssi"},
                     {{"rfic_temperature", "42.250000"}, {"rx:rssi", "-57.000000"}, {"humidity", "no sensor named"}}},
        IdentityCase{"bladeRf1",
                     "sim-bladerf",
                     "model=bladerf1",
                     {"2.4.0", "0.15.3", "40 kLE", true, {}, {}, "sim", {}},
                     {},
                     {{"rfic_temperature", "a bladeRF1 has no RFIC temperature sensor"},
                      {"rx:rssi", "a bladeRF1 has no RSSI sensor"}}},
        IdentityCase{"bladeRfOldLibrary",
                     "sim-bladerf-no-version",
                     "",
                     {},
                     {},
                     {{"rfic_temperature", "the loaded libbladeRF has no bladerf_get_rfic_temperature"},
                      {"rx:rssi", "the loaded libbladeRF has no bladerf_get_rfic_rssi"}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
