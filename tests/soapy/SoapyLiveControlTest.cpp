// SPDX-License-Identifier: MIT
// Live control through the module, as SoapySDR clients use it: named gain
// stages, antennas and settings under the names the families' other modules
// use, every change taken while the stream runs, and hostile input refused
// with the valid values named while the stream goes on.
#include "device/hackrf/HackRfTransfers.h"
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/simulators/SceneExpectations.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <functional>
#include <limits>
#include <mutex>
#include <stop_token>
#include <thread>
#include <tuple>
#include <vector>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class SoapyLiveControl : public test::SoapyModule {
protected:
    // A receive stream of the simulated HackRF, paced like the board.
    test::SoapyDevicePointer startHackRf(const std::string& script, SoapySDR::Stream*& stream)
    {
        simulateHackRf("board H1\nrx-paced\n" + script);
        auto device = make("driver=veltrano,family=hackrf");
        device->setSampleRate(SOAPY_SDR_RX, 0, test::kSceneRateHz);
        device->setFrequency(SOAPY_SDR_RX, 0, test::kFirstCentreHz);
        device->setGain(SOAPY_SDR_RX, 0, test::kSceneGainDb);
        stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CF32);
        return device;
    }

    std::size_t streamStarts() const { return hackRf().calls("hackrf_start_rx").size(); }
};

// A client's receive loop: reads back to back on a thread of its own and
// keeps the latest scene-length block and how many samples it has read.
class BusyReader {
public:
    BusyReader(SoapySDR::Device& device, SoapySDR::Stream* stream)
        : thread_([this, &device, stream](std::stop_token stop) { run(device, stream, stop); })
    {
    }

    // The carrier's power in the first whole block read once `skipped` more
    // samples have come, so that samples from before a change are past.
    double carrierDbfsAfter(std::size_t skipped)
    {
        const std::uint64_t mark = samplesRead() + skipped + test::kSceneSamples;
        while (samplesRead() < mark) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::lock_guard lock(mutex_);
        return test::binPowerDbfs(latest_, 250e3, test::kSceneRateHz);
    }

private:
    void run(SoapySDR::Device& device, SoapySDR::Stream* stream, const std::stop_token& stop)
    {
        std::vector<std::complex<float>> block(test::kSceneSamples);
        while (!stop.stop_requested()) {
            std::size_t filled = 0;
            while (filled < block.size() && !stop.stop_requested()) {
                void* buffers[] = {block.data() + filled};
                int flags = 0;
                long long timeNs = 0;
                const int result = device.readStream(stream, buffers, block.size() - filled, flags, timeNs, 100'000);
                filled += static_cast<std::size_t>(std::max(result, 0));
            }
            const std::lock_guard lock(mutex_);
            if (filled == block.size()) {
                latest_ = block;
                samplesRead_ += filled;
            }
        }
    }
    std::uint64_t samplesRead()
    {
        const std::lock_guard lock(mutex_);
        return samplesRead_;
    }

    std::mutex mutex_;
    std::vector<std::complex<float>> latest_;
    std::uint64_t samplesRead_ = 0;
    std::jthread thread_; // last: it stops and joins before the rest goes
};

TEST_F(SoapyLiveControl, aLiveStageChangeMovesTheCarriersPowerByTheChangeWhileAReaderReads)
{
    const test::ExpectedCarrier carrier{100.25e6, -50.0, 0.0, ""};
    SoapySDR::Stream* stream = nullptr;
    const auto device = startHackRf(test::sceneScript({carrier}), stream);
    BusyReader reader(*device, stream);
    // Samples from before a change go first: at most a full ring and the one
    // paced transfer (131,072 samples) being filled during the change,
    // however far the reader fell behind.
    constexpr std::size_t kStaleSamples = detail::kHackRfRingBytes / 2 + 131'072;
    const double before = reader.carrierDbfsAfter(0);
    EXPECT_NEAR(before, carrier.powerDbfs + test::kSceneGainDb, 1.5);
    for (const auto& [stage, gainDb, moveDb] : {std::tuple{"LNA", 24.0, 8.0}, std::tuple{"AMP", 14.0, 22.0}}) {
        device->setGain(SOAPY_SDR_RX, 0, stage, gainDb);
        EXPECT_NEAR(reader.carrierDbfsAfter(kStaleSamples) - before, moveDb, 1.5) << stage;
    }
    EXPECT_EQ(streamStarts(), 1u);
    EXPECT_THAT(hackRf().calls("hackrf_stop_rx"), ::testing::IsEmpty());
}

struct LiveSetter {
    const char* name;
    std::function<void(SoapySDR::Device&)> set;
    const char* call; // the journal line it leads to
    std::function<bool(const SoapySDR::Device&)> readBack;
};

// Each change is made, and read back, while another thread's read waits for
// the board (which delivers only when told to): no control call or query
// waits for a read in progress, and the read then goes on with the stream.
TEST_F(SoapyLiveControl, everyChangeIsTakenWhileAReadWaitsAndReadsBack)
{
    const LiveSetter setters[] = {
        {"stage", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "VGA", 30); }, "hackrf_set_vga_gain 30 -> 0",
         [](const auto& d) { return d.getGain(SOAPY_SDR_RX, 0, "VGA") == 30 && d.getGain(SOAPY_SDR_RX, 0) == 46; }},
        {"overall", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, 500); }, "hackrf_set_vga_gain 62 -> 0",
         [](const auto& d) { return d.getGain(SOAPY_SDR_RX, 0) == 102 && d.getGain(SOAPY_SDR_RX, 0, "LNA") == 40; }},
        {"rate", [](auto& d) { d.setSampleRate(SOAPY_SDR_RX, 0, 4e6); }, "hackrf_set_sample_rate 4000000 -> 0",
         [](const auto& d) { return d.getSampleRate(SOAPY_SDR_RX, 0) == 4e6; }},
        {"bandwidth", [](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, 6e6); },
         "hackrf_set_baseband_filter_bandwidth 6000000 -> 0",
         [](const auto& d) { return d.getBandwidth(SOAPY_SDR_RX, 0) == 6e6; }},
        {"biasTee", [](auto& d) { d.writeSetting("bias_tx", "true"); }, "hackrf_set_antenna_enable 1 -> 0",
         [](const auto& d) { return d.readSetting("bias_tx") == "true"; }},
        {"amplifier", [](auto& d) { d.writeSetting("rx_amplifier", "true"); }, "hackrf_set_amp_enable 1 -> 0",
         [](const auto& d) { return d.getGain(SOAPY_SDR_RX, 0, "AMP") == 14; }},
        {"frequency", [](auto& d) { d.setFrequency(SOAPY_SDR_RX, 0, 101e6); }, "hackrf_set_freq 101000000 -> 0",
         [](const auto& d) {
             return d.getFrequency(SOAPY_SDR_RX, 0) == 101e6 && d.readSetting("rx_dropped_bytes") == "0";
         }},
    };
    simulateHackRf("board H1\n");
    const auto device = make("driver=veltrano,family=hackrf");
    device->setGain(SOAPY_SDR_RX, 0, test::kSceneGainDb);
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CF32);
    const test::HackRfSimulatorControl board;
    for (const LiveSetter& setter : setters) {
        SCOPED_TRACE(setter.name);
        std::atomic<bool> readReturned{false};
        int readResult = 0;
        // The board read polls hackrf_is_streaming while it waits: a poll
        // after this count shows that the read is under way.
        const std::size_t pollsBefore = hackRf().calls("hackrf_is_streaming").size();
        std::jthread reader([&] {
            std::vector<std::complex<float>> samples(1000);
            // Far longer than the changes below take, even under a sanitizer
            // or an emulator on a busy machine; only a change that waits for
            // this read would see it end.
            readResult = readTimed(*device, stream, samples.data(), samples.size(), 10'000'000).result;
            readReturned.store(true);
        });
        while (hackRf().calls("hackrf_is_streaming").size() == pollsBefore) {
            std::this_thread::yield();
        }
        EXPECT_NO_THROW(setter.set(*device));
        EXPECT_EQ(hackRf().calls(std::string(setter.call).substr(0, std::string(setter.call).find(' '))).back(),
                  setter.call);
        EXPECT_TRUE(setter.readBack(*device));
        EXPECT_FALSE(readReturned.load()) << "a change waited for the read in progress";
        // A rate or frequency change drops 1,310,720 bytes first: up to
        // twelve transfers end the read, well inside the 4 MiB ring.
        constexpr int kTransferBytes = 262'144;
        for (int transfer = 0; transfer < 12 && !readReturned.load(); ++transfer) {
            ASSERT_EQ(board.deliver(nullptr, kTransferBytes, kTransferBytes), 0);
        }
        reader.join();
        EXPECT_EQ(readResult, 1000);
        // What the last transfers left goes, so the next read waits again.
        std::vector<std::complex<float>> rest(1000);
        while (readTimed(*device, stream, rest.data(), rest.size(), 0).result > 0) {
        }
    }
    EXPECT_EQ(streamStarts(), 1u);
}

TEST_F(SoapyLiveControl, hostileInputGetsAnErrorNamingWhatIsValidAndTheStreamGoesOn)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const char* lnaRange = "takes 0 to 40 dB in steps of 8";
    const char* stages = "the stages are LNA, VGA, AMP";
    const char* widths = "1750000, 2500000, 3500000";
    const char* writable = "the writable settings are rx_amplifier, bias_tx, native_sweep";
    // Each call, and what its error names as valid.
    const std::tuple<const char*, std::function<void(SoapySDR::Device&)>, const char*> calls[] = {
        {"nanStage", [=](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "LNA", nan); }, lnaRange},
        {"infStage", [=](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "LNA", inf); }, lnaRange},
        {"negativeStage", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "LNA", -8); }, lnaRange},
        {"aboveStage", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "LNA", 48); }, lnaRange},
        {"aboveTxStage", [](auto& d) { d.setGain(SOAPY_SDR_TX, 0, "VGA", 48); }, "takes 0 to 47 dB in steps of 1"},
        {"unknownStage", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "IF", 8); }, stages},
        {"emptyStage", [](auto& d) { d.setGain(SOAPY_SDR_RX, 0, "", 8); }, stages},
        {"rxStageOnTx", [](auto& d) { d.setGain(SOAPY_SDR_TX, 0, "LNA", 8); }, "the stages are VGA, AMP"},
        {"readUnknownStage", [](auto& d) { d.getGain(SOAPY_SDR_RX, 0, "lna"); }, stages},
        {"rangeOfEmptyStage", [](auto& d) { d.getGainRange(SOAPY_SDR_RX, 0, ""); }, stages},
        {"nanGain", [=](auto& d) { d.setGain(SOAPY_SDR_RX, 0, nan); }, "takes 0 to 102 dB"},
        {"nanRate", [=](auto& d) { d.setSampleRate(SOAPY_SDR_RX, 0, nan); }, "2000000 to 20000000 Hz"},
        {"lowRate", [](auto& d) { d.setSampleRate(SOAPY_SDR_RX, 0, 1e6); }, "2000000 to 20000000 Hz"},
        {"minusInfRate", [=](auto& d) { d.setSampleRate(SOAPY_SDR_RX, 0, -inf); }, "2000000 to 20000000 Hz"},
        {"negativeBandwidth", [](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, -1); }, widths},
        {"nanBandwidth", [=](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, nan); }, widths},
        {"wideBandwidth", [](auto& d) { d.setBandwidth(SOAPY_SDR_RX, 0, 1e9); }, widths},
        {"otherAntenna", [](auto& d) { d.setAntenna(SOAPY_SDR_RX, 0, "RX"); }, "the antenna is TX/RX"},
        {"unknownElement", [](auto& d) { d.setFrequency(SOAPY_SDR_RX, 0, "IF", 1e6); }, "the elements are RF"},
        {"emptyElement", [](auto& d) { d.getFrequency(SOAPY_SDR_RX, 0, ""); }, "the elements are RF"},
        {"badSwitch", [](auto& d) { d.writeSetting("bias_tx", "maybe"); }, "takes true or false"},
        {"emptySwitch", [](auto& d) { d.writeSetting("bias_tx", ""); }, "takes true or false"},
        {"otherFamilysSetting", [](auto& d) { d.writeSetting("biastee_rx", "true"); }, writable},
        {"emptySetting", [](auto& d) { d.writeSetting("", "true"); }, writable},
        {"unknownRead", [](auto& d) { d.readSetting("biastee_tx"); }, "getSettingInfo lists them"},
        {"automaticGain", [](auto& d) { d.setGainMode(SOAPY_SDR_RX, 0, true); }, "set the gain or its stages"},
    };
    SoapySDR::Stream* stream = nullptr;
    const auto device = startHackRf("", stream);
    for (const auto& [name, call, named] : calls) {
        SCOPED_TRACE(name);
        try {
            call(*device);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& error) {
            EXPECT_THAT(error.what(), HasSubstr(named));
        }
        EXPECT_FALSE(receive(*device, stream, 1000).empty());
    }
    EXPECT_EQ(device->getGain(SOAPY_SDR_RX, 0), test::kSceneGainDb);
    EXPECT_EQ(device->readSetting("bias_tx"), "false");
    EXPECT_EQ(streamStarts(), 1u);
}

// Every setting a board takes is also a device argument: made with it, the
// board is told at once and the setting reads it back.
struct SettingArgument {
    bool bladeRf;
    const char* key;
    const char* value;
    const char* call;
    const char* journalled;
};

void PrintTo(const SettingArgument& argument, std::ostream* stream)
{
    *stream << argument.key;
}

class SoapySettingArguments : public SoapyLiveControl, public ::testing::WithParamInterface<SettingArgument> {};

TEST_P(SoapySettingArguments, theBoardIsToldAtOpenAndTheSettingReadsItBack)
{
    const SettingArgument& argument = GetParam();
    if (argument.bladeRf) {
        simulateBladeRf("board serial=B1 product=bladeRF_2.0\n");
    } else {
        simulateHackRf("board H1\n");
    }
    const auto device = make(std::string("driver=veltrano,family=") + (argument.bladeRf ? "bladerf," : "hackrf,") +
                             argument.key + "=" + argument.value);
    ASSERT_NE(device, nullptr);
    EXPECT_THAT((argument.bladeRf ? bladeRf() : hackRf()).calls(argument.call), ElementsAre(argument.journalled));
    EXPECT_EQ(device->readSetting(argument.key), "true");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SoapySettingArguments,
    ::testing::Values(
        SettingArgument{false, "rx_amplifier", "true", "hackrf_set_amp_enable", "hackrf_set_amp_enable 1 -> 0"},
        SettingArgument{false, "bias_tx", "true", "hackrf_set_antenna_enable", "hackrf_set_antenna_enable 1 -> 0"},
        SettingArgument{true, "biastee_rx", "true", "bladerf_set_bias_tee", "bladerf_set_bias_tee 0 1 -> 0"},
        SettingArgument{true, "biastee_tx", "1", "bladerf_set_bias_tee", "bladerf_set_bias_tee 1 1 -> 0"}),
    [](const auto& info) { return std::string(info.param.key); });

// What clients ask first, under the names SoapySDR users know.
TEST_F(SoapyLiveControl, stagesAntennasBandwidthsAndSettingsCarryThePeersNames)
{
    simulateHackRf("board H1\n");
    EXPECT_THROW(make("driver=veltrano,family=hackrf,bias_tx=on"), std::runtime_error);
    const auto device = make("driver=veltrano,family=hackrf");
    EXPECT_THAT(device->listGains(SOAPY_SDR_RX, 0), ElementsAre("LNA", "VGA", "AMP"));
    EXPECT_THAT(device->listGains(SOAPY_SDR_TX, 0), ElementsAre("VGA", "AMP"));
    const SoapySDR::Range amplifier = device->getGainRange(SOAPY_SDR_TX, 0, "AMP");
    EXPECT_EQ(std::tuple(amplifier.minimum(), amplifier.maximum(), amplifier.step()), std::tuple(0.0, 14.0, 14.0));
    for (const int direction : {SOAPY_SDR_RX, SOAPY_SDR_TX}) {
        EXPECT_NO_THROW(device->setAntenna(direction, 0, "TX/RX"));
        EXPECT_EQ(device->getBandwidthRange(direction, 0).size(), 16u);
        EXPECT_FALSE(device->hasGainMode(direction, 0));
        EXPECT_NO_THROW(device->setGainMode(direction, 0, false));
        EXPECT_NO_THROW(device->setFrequency(direction, 0, "BB", 1e6));
        EXPECT_EQ(device->getFrequency(direction, 0, "BB"), 0.0);
    }
    const SoapySDR::ArgInfoList settings = device->getSettingInfo();
    EXPECT_TRUE(std::any_of(settings.begin(), settings.end(), [](const auto& info) { return info.key == "bias_tx"; }));
}

} // namespace
} // namespace veltrano
