// SPDX-License-Identifier: MIT
// Live control of a bladeRF through the simulated libbladeRF: the chains each
// board kind reports, changes that reach the library while the stream runs
// (and what they do to the samples), and input that must never reach the
// library. The bias tee of each board kind is the real library's test.
#include "tests/bladerf/BladeRfStreamingFixture.h"

#include <gmock/gmock.h>

#include <limits>
#include <sstream>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr auto kRx = StreamDirection::rx;
constexpr auto kTx = StreamDirection::tx;

class BladeRfLiveControl : public test::BladeRfStreaming {};

std::string describe(const std::vector<GainStage>& stages)
{
    std::ostringstream text;
    for (const GainStage& stage : stages) {
        text << stage.name << ":" << stage.minimumDb << ".." << stage.maximumDb << "/" << stage.stepDb << " ";
    }
    return text.str();
}

// One board kind per process: the simulator reads its script once.
struct BoardKindCase {
    const char* model;
    const char* stages[2]; // receive, transmit
    const char* overall[2];
    double widestBandwidthHz;
};

class BladeRfBoardKind : public test::BladeRfStreaming, public ::testing::WithParamInterface<BoardKindCase> {};

TEST_P(BladeRfBoardKind, stagesAndRangesAreTheLibrarys)
{
    const BoardKindCase& kind = GetParam();
    simulateBladeRf(std::string("board serial=A model=") + kind.model + "\n");
    BladeRfSdrDevice device("A");
    for (const StreamDirection direction : {kRx, kTx}) {
        const auto index = static_cast<std::size_t>(direction);
        EXPECT_EQ(describe(device.gainStages(direction)), kind.stages[index]);
        EXPECT_EQ(describe({device.overallGainRange(direction).value_or(GainStage{"none"})}), kind.overall[index]);
        const auto bandwidths = device.bandwidthRangesHz(direction);
        ASSERT_EQ(bandwidths.size(), 1u);
        EXPECT_EQ(bandwidths[0].maximumHz, kind.widestBandwidthHz);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, BladeRfBoardKind,
                         ::testing::Values(BoardKindCase{"bladerf1",
                                                         {"lna:0..6/3 rxvga1:5..30/1 rxvga2:0..30/3 ",
                                                          "txvga1:-35..-4/1 txvga2:0..25/1 "},
                                                         {":-1..60/1 ", ":17..73/1 "},
                                                         28e6},
                                           // The transmit stage is scaled by the library's 0.001 into dB.
                                           BoardKindCase{"bladerf2",
                                                         {"full:-15..60/1 ", "dsa:-89.75..0/0.25 "},
                                                         {":-15..60/1 ", ":-23.75..66/0.25 "},
                                                         56e6}),
                         [](const auto& info) { return std::string(info.param.model); });

// Each change reaches the library while samples flow, with no stop or start
// around it and (gain, bandwidth) no gap in the timestamps; a rate change
// reads on from the change (timestamped) or restarts the stream (plain).
using Setting = bool (*)(ISdrDevice&, double);
const Setting kStage = [](ISdrDevice& device, double value) { return device.setGainStage(kRx, "full", value); };
const Setting kRxvga2 = [](ISdrDevice& device, double value) { return device.setGainStage(kRx, "rxvga2", value); };
const Setting kLna = [](ISdrDevice& device, double value) { return device.setGainStage(kRx, "lna", value); };
const Setting kOverall = [](ISdrDevice& device, double value) { return device.setGain(kRx, value); };
const Setting kBandwidth = [](ISdrDevice& device, double value) { return device.setBandwidth(kRx, value); };
const Setting kRate = [](ISdrDevice& device, double value) { return device.setSampleRate(kRx, value); };

struct ChangeCase {
    const char* name;
    const char* variant;
    Setting change;
    double value;
    std::vector<std::string> calls; // the stream and setting calls the change makes
    bool contiguous;
    const char* script = "";     // added to the simulated board's script
    const char* model = nullptr; // the board kind, if not the bladeRF 2.0
};

class BladeRfLiveChange : public test::BladeRfStreaming, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(BladeRfLiveChange, reachesTheRunningStream)
{
    const ChangeCase& testCase = GetParam();
    const std::vector<std::string> watched{"bladerf_set_gain_stage",  "bladerf_set_gain",      "bladerf_set_bandwidth",
                                           "bladerf_set_sample_rate", "bladerf_enable_module", "bladerf_sync_config",
                                           "bladerf_get_timestamp"};
    if (testCase.model != nullptr) {
        simulateModel(testCase.model);
    }
    BladeRfSdrDevice& device = receiving(testCase.script, testCase.variant);
    // Whole library reads (1024 samples each), so nothing is left over.
    ASSERT_EQ(test::timestampsRead(device, true, 5120).size(), 5120u);
    const std::size_t from = journalLength();
    EXPECT_TRUE(testCase.change(device, testCase.value));
    EXPECT_THAT(callsOf(watched, from), ::testing::ElementsAreArray(testCase.calls));
    const auto after = test::timestampsRead(device, true, 3072);
    ASSERT_EQ(after.size(), 3072u);
    if (testCase.contiguous) {
        EXPECT_EQ(after, test::timestampsFrom(5120, 3072));
    }
}

constexpr const char* kStamped = "sim-bladerf";
constexpr const char* kPlain = "sim-bladerf-no-quick-tune";
const ChangeCase kChanges[] = {
    {"stage", kStamped, kStage, 37.4, {"bladerf_set_gain_stage 0 full 37 -> 0"}, true},
    {"stagePlainStream", kPlain, kStage, 37.6, {"bladerf_set_gain_stage 0 full 38 -> 0"}, true},
    // A bladeRF1's stages in 3 dB steps from 0: the nearest step, down or up.
    {"stageOf3dBStepsDown", kStamped, kRxvga2, 10.0, {"bladerf_set_gain_stage 0 rxvga2 9 -> 0"}, true, "", "bladerf1"},
    {"stageOf3dBStepsUp", kStamped, kLna, 4.6, {"bladerf_set_gain_stage 0 lna 6 -> 0"}, true, "", "bladerf1"},
    {"overall", kStamped, kOverall, -15.0, {"bladerf_set_gain 0 -15 -> 0"}, true},
    {"bandwidth", kStamped, kBandwidth, 5e6 + 0.2, {"bladerf_set_bandwidth 0 5000001 -> 0"}, true},
    {"rate",
     kStamped,
     kRate,
     4e6,
     {"bladerf_set_sample_rate 0 4000000 -> 0", "bladerf_get_timestamp 0 5120 -> 0"},
     false},
    // A library without timestamps: the stream starts afresh.
    {"ratePlainStream",
     kPlain,
     kRate,
     4e6,
     {"bladerf_set_sample_rate 0 4000000 -> 0", "bladerf_enable_module 0 0 -> 0",
      "bladerf_sync_config 0 0 64 16384 16 250 -> 0", "bladerf_enable_module 0 1 -> 0"},
     false,
     "metadata off\n"},
};
INSTANTIATE_TEST_SUITE_P(Changes, BladeRfLiveChange, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// Transmit: each change reaches the library's transmit channel while the
// writer goes on, with no stop or start between.
TEST_F(BladeRfLiveControl, changesReachTheRunningTransmitStream)
{
    BladeRfSdrDevice& device = transmitting();
    const std::vector<std::complex<float>> samples(4096, {0.25F, -0.25F});
    ASSERT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
    const std::size_t from = journalLength();
    EXPECT_TRUE(device.setGainStage(kTx, "dsa", -10.2));
    EXPECT_TRUE(device.setGain(kTx, 40.0));
    EXPECT_TRUE(device.setSampleRate(kTx, 4e6));
    EXPECT_TRUE(device.setBandwidth(kTx, 3e6));
    EXPECT_EQ(device.writeSamples(samples.data(), samples.size()), samples.size());
    EXPECT_THAT(callsOf({"bladerf_set_gain_stage", "bladerf_set_gain", "bladerf_set_sample_rate",
                         "bladerf_set_bandwidth", "bladerf_enable_module", "bladerf_sync_tx"},
                        from),
                ElementsAre("bladerf_set_gain_stage 1 dsa -10 -> 0", "bladerf_set_gain 1 40 -> 0",
                            "bladerf_set_sample_rate 1 4000000 -> 0", "bladerf_set_bandwidth 1 3000000 -> 0",
                            "bladerf_sync_tx 4096 (null) 250 -> 0"));
    EXPECT_EQ(device.gainStageDb(kTx, "dsa"), -26.0); // the overall 40 dB less the chain's 66
    EXPECT_EQ(device.bandwidthHz(kTx), 3e6);
}

TEST_F(BladeRfLiveControl, theSceneFollowsTheStagesFromTheFirstSampleAfterTheChange)
{
    BladeRfSdrDevice& device = receiving("scene-carrier 915.25e6 -50\n");
    const auto powerDb = [&device] {
        std::vector<std::complex<float>> samples(4096);
        EXPECT_EQ(device.readSamples(samples.data(), samples.size()), samples.size());
        const double sum =
            std::accumulate(samples.begin(), samples.end(), 0.0,
                            [](double total, std::complex<float> sample) { return total + std::norm(sample); });
        return 10.0 * std::log10(sum / static_cast<double>(samples.size()));
    };
    EXPECT_NEAR(powerDb(), -50.0 + 20.0, 0.5);
    ASSERT_TRUE(device.setGainStage(kRx, "full", 32.0));
    EXPECT_NEAR(powerDb(), -50.0 + 32.0, 0.5);
    EXPECT_EQ(device.gainStageDb(kRx, "full"), 32.0);
    EXPECT_EQ(device.gainDb(kRx), 32.0);
}

TEST_F(BladeRfLiveControl, automaticGainOnReceiveOnly)
{
    BladeRfSdrDevice& device = openConfigured();
    EXPECT_FALSE(device.supportsAutomaticGain(kTx));
    EXPECT_FALSE(device.setAutomaticGain(kTx, true));
    ASSERT_TRUE(device.supportsAutomaticGain(kRx));
    const std::size_t from = journalLength();
    EXPECT_TRUE(device.setAutomaticGain(kRx, true));
    EXPECT_TRUE(device.automaticGain(kRx));
    EXPECT_TRUE(device.setAutomaticGain(kRx, false));
    EXPECT_THAT(callsOf({"bladerf_set_gain_mode"}, from),
                ElementsAre("bladerf_set_gain_mode 0 0 -> 0", "bladerf_set_gain_mode 0 1 -> 0"));
    EXPECT_FALSE(device.automaticGain(kRx));
    // A configuration sets the manual gain it names.
    ASSERT_TRUE(device.setAutomaticGain(kRx, true));
    ASSERT_TRUE(device.configureRx(config(915e6)));
    EXPECT_FALSE(device.automaticGain(kRx));
}

// A refused value or name never reaches the library's setters, and a failed
// library call leaves the setting in force.
TEST_F(BladeRfLiveControl, hostileInputIsRefusedBeforeTheLibrary)
{
    BladeRfSdrDevice& device = receiving("fail bladerf_set_gain_stage 1 -5\nfail bladerf_set_bias_tee 1 -5\n");
    const auto badDirection = static_cast<StreamDirection>(7);
    EXPECT_FALSE(device.setGainStage(kRx, "full", 30.0)); // the scripted failure
    EXPECT_EQ(device.gainStageDb(kRx, "full"), 20.0);
    EXPECT_FALSE(device.setBiasTee(kRx, true));
    EXPECT_FALSE(device.biasTee(kRx));
    const std::size_t from = journalLength();
    for (const double value : {kNaN, kInfinity, -kInfinity, -16.0, 60.5, 1e300}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(device.setGainStage(kRx, "full", value));
        EXPECT_FALSE(device.setGain(kRx, value));
        EXPECT_FALSE(device.setSampleRate(kRx, value));
        EXPECT_FALSE(device.setBandwidth(kRx, value));
    }
    for (const double value : {-1.0, 0.0, 520833.0, 61440001.0, 4294967296.0}) {
        EXPECT_FALSE(device.setSampleRate(kRx, value)) << value;
    }
    for (const double value : {-1.0, 0.0, 199999.0, 56000001.0}) {
        EXPECT_FALSE(device.setBandwidth(kRx, value)) << value;
    }
    for (const std::string& stage :
         {std::string(), std::string("FULL"), std::string("full\0x", 6), std::string("lna"), std::string(300, 'f')}) {
        EXPECT_FALSE(device.setGainStage(kRx, stage, 30.0)) << stage;
        EXPECT_EQ(device.gainStageDb(kRx, stage), std::nullopt) << stage;
    }
    EXPECT_FALSE(device.setGainStage(kTx, "full", 0.0)); // a receive stage
    EXPECT_FALSE(device.setGainStage(badDirection, "full", 30.0));
    EXPECT_FALSE(device.setGain(badDirection, 30.0));
    EXPECT_FALSE(device.setSampleRate(badDirection, 4e6));
    EXPECT_FALSE(device.setBandwidth(badDirection, 5e6));
    EXPECT_FALSE(device.setBiasTee(badDirection, true));
    EXPECT_FALSE(device.setAutomaticGain(badDirection, true));
    EXPECT_THAT(device.gainStages(badDirection), IsEmpty());
    EXPECT_EQ(device.overallGainRange(badDirection), std::nullopt);
    EXPECT_THAT(device.bandwidthRangesHz(badDirection), IsEmpty());
    EXPECT_THAT(callsOf({"bladerf_set_gain_stage", "bladerf_set_gain", "bladerf_set_sample_rate",
                         "bladerf_set_bandwidth", "bladerf_set_bias_tee", "bladerf_set_gain_mode"},
                        from),
                IsEmpty());
    // The stream ran on throughout.
    EXPECT_EQ(test::timestampsRead(device, true, 1024).size(), 1024u);
}

} // namespace
} // namespace veltrano
