// SPDX-License-Identifier: MIT
// bladeRF boards that start in step through the module, on the simulated
// library, whose boards share one trigger line: the trigger settings and
// device arguments, activations that wait for the line, and the reference
// clock with the PLL's lock. What the device layer does is pinned beside it
// (BladeRfSyncTest); this pins what the module adds.
#include "tests/soapy/SoapyFixture.h"

#include <SoapySDR/Logger.hpp>
#include <gmock/gmock.h>

#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double kRate = 2e6;
constexpr long long kSampleNs = 500;
// Longer than the device layer's 100 ms read of an armed board, so that a
// read that would get samples gets them: an armed one still gets none.
constexpr long kArmedReadTimeoutUs = 250'000;
constexpr const char* kTwoBoards = "board serial=A\nboard serial=B\n";

std::vector<std::string> errorLog;

void keepErrors(const SoapySDRLogLevel level, const char* message)
{
    if (level <= SOAPY_SDR_ERROR) {
        errorLog.emplace_back(message);
    }
}

class SoapySync : public test::SoapyModule {
protected:
    void SetUp() override
    {
        test::SoapyModule::SetUp();
        errorLog.clear();
        SoapySDR::registerLogHandler(keepErrors);
    }
    void TearDown() override { SoapySDR::registerLogHandler(nullptr); }

    test::SoapyDevicePointer openReceiver(const std::string& args)
    {
        auto device = make("driver=veltrano," + args);
        device->setSampleRate(SOAPY_SDR_RX, 0, kRate);
        return device;
    }

    // The simulator's pattern names each sample's tick: (I + 2048) + 4096 (Q + 2048), modulo 2^24.
    static long long tickOf(const std::int16_t* sample) { return (sample[0] + 2048) + 4096LL * (sample[1] + 2048); }

    static std::string loggedErrors()
    {
        std::string text;
        for (const std::string& line : errorLog) {
            text += line + "\n";
        }
        return text;
    }
};

// The master waits by the activation's flag, the slave (no role of its own)
// by its time source; the master's fire starts both on one tick, and each
// first read is stamped with it and carries its board's sample of it.
TEST_F(SoapySync, armedBoardsStartOnTheFireWithOneTime)
{
    simulateBladeRf(kTwoBoards);
    const auto master = openReceiver("serial=A,trigger_role=master");
    const auto slave = openReceiver("serial=B");
    EXPECT_THAT(slave->listTimeSources(), ElementsAre("internal", "trigger"));
    slave->setTimeSource("trigger");
    EXPECT_EQ(slave->getTimeSource(), "trigger");

    SoapySDR::Stream* masterStream = master->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    SoapySDR::Stream* slaveStream = slave->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    ASSERT_EQ(master->activateStream(masterStream, SOAPY_SDR_WAIT_TRIGGER), 0) << loggedErrors();
    ASSERT_EQ(slave->activateStream(slaveStream), 0) << loggedErrors();
    EXPECT_EQ(slave->readSetting("trigger_role"), "slave"); // taken for the start
    std::vector<std::int16_t> buffer(2 * 1024);
    for (SoapySDR::Device* device : {master.get(), slave.get()}) {
        EXPECT_EQ(device->readSetting("trigger_state"), "armed");
        EXPECT_EQ(device->readSetting("trigger_fire"), "false");
    }
    EXPECT_EQ(readTimed(*slave, slaveStream, buffer.data(), 1024, kArmedReadTimeoutUs).result, SOAPY_SDR_TIMEOUT);
    EXPECT_THROW(slave->writeSetting("trigger_fire", "true"), std::runtime_error); // a slave does not drive the line

    master->writeSetting("trigger_fire", "true");
    std::vector<long long> firstTimes;
    for (const auto& [device, stream] : {std::pair{master.get(), masterStream}, std::pair{slave.get(), slaveStream}}) {
        const Outcome first = readTimed(*device, stream, buffer.data(), 1024);
        ASSERT_GT(first.result, 0);
        ASSERT_NE(first.flags & SOAPY_SDR_HAS_TIME, 0);
        EXPECT_EQ(tickOf(buffer.data()), (first.timeNs / kSampleNs) % (1 << 24));
        EXPECT_EQ(device->readSetting("trigger_state"), "fired");
        EXPECT_EQ(device->readSetting("trigger_fire"), "true");
        firstTimes.push_back(first.timeNs);
    }
    EXPECT_EQ(firstTimes[0], firstTimes[1]);
    EXPECT_GT(firstTimes[0], 0); // the slave's counter ran on while it waited
    master->closeStream(masterStream);
    slave->closeStream(slaveStream);
    EXPECT_EQ(slave->readSetting("trigger_role"), "off"); // given back
    EXPECT_EQ(master->readSetting("trigger_role"), "master");
}

// Never fired, an armed stream reads time-outs and stops cleanly; the next
// activation without the flag runs free although the board keeps its role.
TEST_F(SoapySync, armedNeverFiredTimesOutThenAPlainStartRunsFree)
{
    simulateBladeRf("board serial=A\n");
    const auto device = openReceiver("trigger_role=slave");
    SoapySDR::Stream* stream = device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    std::vector<std::int16_t> buffer(2 * 1024);
    ASSERT_EQ(device->activateStream(stream, SOAPY_SDR_WAIT_TRIGGER), 0) << loggedErrors();
    for (int read = 0; read < 2; ++read) {
        EXPECT_EQ(readTimed(*device, stream, buffer.data(), 1024, kArmedReadTimeoutUs).result, SOAPY_SDR_TIMEOUT);
    }
    EXPECT_EQ(device->readSetting("rx_overruns"), "0");
    EXPECT_EQ(device->readSetting("rx_lost_samples"), "0");
    EXPECT_EQ(device->deactivateStream(stream), 0);
    EXPECT_EQ(device->readSetting("trigger_state"), "armed");

    ASSERT_EQ(device->activateStream(stream), 0) << loggedErrors();
    EXPECT_EQ(device->readSetting("trigger_state"), "disarmed");
    EXPECT_GT(read(*device, stream, buffer.data(), 1024), 0);
    EXPECT_EQ(device->readSetting("trigger_role"), "slave");
    device->closeStream(stream);
    EXPECT_TRUE(errorLog.empty()) << loggedErrors();
}

// Hostile values are refused with words, as settings and as device arguments.
struct HostileCase {
    const char* name;
    const char* key;
    const char* value;
    const char* words;
};

class SoapySyncHostileValue : public SoapySync, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(SoapySyncHostileValue, isRefusedWithWords)
{
    const HostileCase& c = GetParam();
    simulateBladeRf("board serial=A\n");
    const std::string argument = std::string(c.key) + "=" + c.value;
    EXPECT_THROW(make("driver=veltrano," + argument), std::runtime_error);
    EXPECT_THAT(loggedErrors(), HasSubstr(c.words));
    errorLog.clear();
    const auto device = make("driver=veltrano");
    try {
        device->writeSetting(c.key, c.value);
        ADD_FAILURE() << argument << " was taken";
    } catch (const std::runtime_error& refusal) {
        EXPECT_THAT(refusal.what(), HasSubstr(c.words));
    }
    EXPECT_EQ(device->readSetting("trigger_role"), "off");
    EXPECT_EQ(device->readSetting("trigger_signal"), "J51-1");
    EXPECT_EQ(device->readSetting("clock_out"), "false");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SoapySyncHostileValue,
    ::testing::Values(HostileCase{"unknownRole", "trigger_role", "leader", "off, master or slave"},
                      HostileCase{"emptyRole", "trigger_role", "", "off, master or slave"},
                      HostileCase{"otherBoardsPin", "trigger_signal", "J71-4", "J51-1, miniexp-1 on this board"},
                      HostileCase{"deviceLayersSpelling", "trigger_signal", "mini-exp-1", "J51-1, miniexp-1"},
                      HostileCase{"fireNotASwitch", "trigger_fire", "now", "true or false"},
                      HostileCase{"fireUnarmed", "trigger_fire", "true", "only an armed master"},
                      HostileCase{"clockOutNotASwitch", "clock_out", "2", "true or false"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoapySync, settingsListTheirOptionsAndTakeTheBoardsPins)
{
    simulateBladeRf("board serial=A\nboard serial=B model=bladerf1\n");
    const auto device = make("driver=veltrano,serial=A,trigger_signal=miniexp-1");
    std::vector<std::string> keys;
    for (const SoapySDR::ArgInfo& info : device->getSettingInfo()) {
        if (info.key == "trigger_role") {
            EXPECT_THAT(info.options, ElementsAre("off", "master", "slave"));
        } else if (info.key == "trigger_signal") {
            EXPECT_THAT(info.options, ElementsAre("J51-1", "miniexp-1"));
            EXPECT_EQ(info.value, "miniexp-1");
        } else if (info.key.starts_with("trigger_") || info.key == "clock_out") {
            keys.push_back(info.key);
        }
    }
    EXPECT_THAT(keys, ElementsAre("trigger_fire", "trigger_state", "clock_out"));
    EXPECT_EQ(device->readSetting("trigger_signal"), "miniexp-1");
    const auto bladeRf1 = make("driver=veltrano,serial=B,trigger_signal=J71-4");
    EXPECT_EQ(bladeRf1->readSetting("trigger_signal"), "J71-4");
}

// A stream that cannot wait for the line is refused with words and never runs free.
struct WaitRefusalCase {
    const char* name;
    const char* script;
    const char* args;
    int direction;
    int flags;
    const char* words;
};

class SoapySyncWaitRefusal : public SoapySync, public ::testing::WithParamInterface<WaitRefusalCase> {};

TEST_P(SoapySyncWaitRefusal, refusesWithWordsAndNeverRunsFree)
{
    const WaitRefusalCase& c = GetParam();
    if (std::string(c.args).find("hackrf") != std::string::npos) {
        simulateHackRf(c.script);
    } else {
        simulateBladeRf(c.script);
    }
    const auto device = make(std::string("driver=veltrano,") + c.args);
    device->setSampleRate(c.direction, 0, kRate);
    SoapySDR::Stream* stream = device->setupStream(c.direction, SOAPY_SDR_CF32);
    EXPECT_NE(device->activateStream(stream, c.flags, 1'000'000), 0);
    EXPECT_THAT(loggedErrors(), HasSubstr(c.words));
    if (c.direction == SOAPY_SDR_RX) {
        std::vector<std::complex<float>> buffer(1024);
        EXPECT_EQ(readTimed(*device, stream, buffer.data(), 1024, kArmedReadTimeoutUs).result, SOAPY_SDR_TIMEOUT);
    }
    device->closeStream(stream);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, SoapySyncWaitRefusal,
    ::testing::Values(WaitRefusalCase{"fpgaWithoutTriggerBlock", "board serial=A trigger-arm-ignored=1\n",
                                      "family=bladerf", SOAPY_SDR_RX, SOAPY_SDR_WAIT_TRIGGER,
                                      "does not read back as armed"},
                      WaitRefusalCase{"hackRf", "board H1\n", "family=hackrf", SOAPY_SDR_RX, SOAPY_SDR_WAIT_TRIGGER,
                                      "only with hw_sync=true"},
                      WaitRefusalCase{"transmit", "board serial=A\n", "family=bladerf", SOAPY_SDR_TX,
                                      SOAPY_SDR_WAIT_TRIGGER, "only a receive stream"},
                      WaitRefusalCase{"triggerAndTime", "board serial=A\n", "family=bladerf", SOAPY_SDR_RX,
                                      SOAPY_SDR_WAIT_TRIGGER | SOAPY_SDR_HAS_TIME, "or for a time, not both"}),
    [](const auto& info) { return std::string(info.param.name); });

// The PLL locks only to a reference that is there: here the other board's clock out.
struct LockCase {
    const char* name;
    const char* wiring; // board A's options
    const char* clockOutOfB;
    const char* locked;
};

class SoapySyncReferenceLock : public SoapySync, public ::testing::WithParamInterface<LockCase> {};

TEST_P(SoapySyncReferenceLock, followsTheReferenceWired)
{
    const LockCase& c = GetParam();
    simulateBladeRf("board serial=A" + std::string(c.wiring) + "\nboard serial=B\n");
    const auto other = make(std::string("driver=veltrano,serial=B,clock_out=") + c.clockOutOfB);
    EXPECT_EQ(other->readSetting("clock_out"), c.clockOutOfB);
    const auto device = make("driver=veltrano,serial=A");
    EXPECT_THAT(device->listSensors(), ::testing::Contains("ref_locked"));
    EXPECT_TRUE(device->getSensorInfo("ref_locked").type == SoapySDR::ArgInfo::BOOL);
    device->setReferenceClockRate(38.4e6);
    device->setClockSource("external-pll");
    EXPECT_EQ(device->getClockSource(), "external-pll");
    EXPECT_EQ(device->readSensor("ref_locked"), c.locked);
}

INSTANTIATE_TEST_SUITE_P(Wirings, SoapySyncReferenceLock,
                         ::testing::Values(LockCase{"nothingWired", "", "true", "false"},
                                           LockCase{"clockOutOfTheOtherBoard", " ref-from=B", "true", "true"},
                                           LockCase{"otherBoardsClockOutOff", " ref-from=B", "false", "false"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoapySync, referenceRateKeepsToThePllsRangeAndFollowsTheSourceInForce)
{
    simulateBladeRf("board serial=A ref-in=10000000\n");
    const auto device = make("driver=veltrano");
    EXPECT_THAT(device->listClockSources(), ElementsAre("internal", "external", "external-pll"));
    EXPECT_EQ(device->getClockSource(), "internal");
    const SoapySDR::RangeList rates = device->getReferenceClockRates();
    ASSERT_EQ(rates.size(), 1U);
    EXPECT_EQ(rates[0].minimum(), 5e6);
    EXPECT_EQ(rates[0].maximum(), 300e6);
    EXPECT_EQ(device->getReferenceClockRate(), 10e6);
    EXPECT_EQ(device->readSensor("ref_locked"), "false"); // its own oscillator, though the reference is there

    device->setClockSource("external-pll");
    EXPECT_EQ(device->readSensor("ref_locked"), "true"); // at the 10 MHz wired
    device->setReferenceClockRate(20e6);                 // taken at once by the PLL in force
    EXPECT_EQ(device->readSensor("ref_locked"), "false");
    for (const double hostile : {1e6, 301e6, -10e6}) {
        EXPECT_THROW(device->setReferenceClockRate(hostile), std::runtime_error) << hostile;
    }
    EXPECT_EQ(device->getReferenceClockRate(), 20e6);
    EXPECT_THROW(device->setClockSource("gps"), std::runtime_error);
    EXPECT_THROW(device->setTimeSource("gps"), std::runtime_error);
    EXPECT_THAT(loggedErrors(), HasSubstr("this board has internal, trigger"));
    EXPECT_EQ(device->getClockSource(), "external-pll");
}

} // namespace
} // namespace veltrano
