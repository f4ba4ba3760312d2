// SPDX-License-Identifier: MIT
#include "device/ISdrDevice.h"

#include <gtest/gtest.h>

#include <limits>

namespace veltrano {
namespace {

// The smallest device possible: only the operations every backend must
// provide, so that everything else shows the interface's own defaults.
class MinimalDevice final : public ISdrDevice {
public:
    DeviceInfo info() const override { return {}; }
    bool configureRx(const StreamConfig&) override { return true; }
    double actualRxSampleRateHz() const override { return 0; }
    std::vector<FrequencyRangeHz> rxFrequencyRanges() const override { return {}; }
    double maximumRxSampleRateHz() const override { return 0; }
    bool setRxFrequency(double) override { return true; }
    bool startRx() override { return true; }
    void stopRx() override {}
    std::size_t readSamples(std::complex<float>*, std::size_t) override { return 0; }
    std::vector<FrequencyRangeHz> txFrequencyRanges() const override { return {}; }
    bool configureTx(const StreamConfig&) override { return true; }
    bool startTx() override { return true; }
    void stopTx() override {}
    std::size_t writeSamples(const std::complex<float>*, std::size_t) override { return 0; }
};

TEST(DeviceInterfaceDefaults, optionalCapabilitiesReportNoSupportWithoutFailing)
{
    MinimalDevice device;
    ISdrDevice& base = device;
    EXPECT_EQ(base.lastError(), "");
    EXPECT_FALSE(base.streamTimeSeconds().has_value());
    EXPECT_FALSE(base.supportsFastRxRetune());
    EXPECT_TRUE(base.prepareRxFrequencies({100e6, 200e6}));
    EXPECT_FALSE(base.setRxAmplifier(true));
    EXPECT_FALSE(base.configureNativeSweep(StreamConfig{}, 1e6, 2e6));
    EXPECT_FALSE(base.startNativeSweep());
    EXPECT_FALSE(base.recoverNativeSweep());

    // A sweep read leaves the caller's block untouched.
    NativeSweepBlock block;
    block.centerFrequencyHz = 123.0;
    block.samples.assign(3, {1.0f, 2.0f});
    EXPECT_FALSE(base.readNativeSweepBlock(block));
    EXPECT_EQ(block.centerFrequencyHz, 123.0);
    EXPECT_EQ(block.samples.size(), 3u);

    // A drain is done unless a stop was requested.
    std::stop_source source;
    EXPECT_TRUE(base.drainTx(source.get_token()));
    source.request_stop();
    EXPECT_FALSE(base.drainTx(source.get_token()));

    // No native format: its reads and writes move nothing.
    std::int16_t values[4] = {1, 2, 3, 4};
    EXPECT_EQ(base.nativeSampleFormat(), NativeSampleFormat::none);
    EXPECT_EQ(base.readNativeSamples(values, 2), 0u);
    EXPECT_EQ(base.writeNativeSamples(values, 2), 0u);
    EXPECT_EQ(values[0], 1);
}

TEST(FrequencyRangesCover, onlyIntervalsWithinOneValidRangeIncludingItsEdges)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<FrequencyRangeHz> hackRf{{1e6, 6e9}};
    const struct {
        std::vector<FrequencyRangeHz> ranges;
        double lowHz;
        double highHz;
        bool covered;
    } cases[] = {
        {hackRf, 1e6, 1e6 + 1, true},
        {hackRf, 6e9 - 1, 6e9, true},
        {hackRf, 6e9, 6e9 + 1, false},
        {hackRf, 1e6 - 1, 2e6, false},
        // Empty or inverted intervals, and no ranges at all.
        {hackRf, 2e6, 2e6, false},
        {hackRf, 3e6, 2e6, false},
        {{}, 2e6, 3e6, false},
        // Not a number anywhere covers nothing.
        {hackRf, nan, 2e6, false},
        {hackRf, 2e6, nan, false},
        {{{nan, 6e9}}, 2e6, 3e6, false},
        {{{1e6, nan}}, 2e6, 3e6, false},
        // A range whose minimum exceeds its maximum covers nothing.
        {{{6e9, 1e6}}, 2e6, 3e6, false},
        {{{6e9, 1e6}, {1e6, 6e9}}, 2e6, 3e6, true},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(frequencyRangesCover(each.ranges, each.lowHz, each.highHz), each.covered)
            << each.lowHz << " to " << each.highHz << " in " << each.ranges.size() << " ranges";
    }
}

} // namespace
} // namespace veltrano
