// SPDX-License-Identifier: MIT
#include "tests/support/ThroughInterface.h"
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <limits>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kBlockBytes = 16384;

class HackRfSweep : public test::HackRfStreamTest {
protected:
    void startSweeping(double startHz = 2'400e6, double stopHz = 2'483.5e6)
    {
        ASSERT_TRUE(device().configureNativeSweep({0.0, 20e6, 0.0, 20.0}, startHz, stopHz));
        ASSERT_TRUE(device().startNativeSweep());
    }

    std::vector<NativeSweepBlock> readBlocks()
    {
        std::vector<NativeSweepBlock> blocks;
        for (NativeSweepBlock block; device().readNativeSweepBlock(block);) {
            blocks.push_back(block);
        }
        return blocks;
    }
};

// A block as the board sends it: marker (or not), step frequency, samples.
std::vector<std::uint8_t> sweepBlock(std::uint64_t stepHz, bool marked = true)
{
    std::vector<std::uint8_t> block(kBlockBytes, 0x11);
    block[0] = marked ? 0x7F : 0x7E;
    block[1] = 0x7F;
    for (int index = 0; index < 8; ++index) {
        block[2 + index] = static_cast<std::uint8_t>(stepHz >> (8 * index));
    }
    return block;
}

struct SweepSupport {
    const char* name;
    const char* variant;
    const char* script;
    bool supported;
    const char* configureError;
};

class HackRfSweepSupport : public HackRfSweep, public ::testing::WithParamInterface<SweepSupport> {};

// The sweep needs USB API 0x0104 and both entry points; a failed step names itself.
TEST_P(HackRfSweepSupport, aSweepThatCannotBeConfiguredSaysWhyAndCannotStart)
{
    HackRfSdrDevice& device = openBoard(GetParam().script, GetParam().variant);
    const bool configures = std::string(GetParam().configureError).empty();
    EXPECT_EQ(device.supportsNativeSweep(), GetParam().supported);
    EXPECT_EQ(device.configureNativeSweep({0.0, 20e6, 0.0, 0.0}, 88e6, 108e6), configures);
    EXPECT_EQ(device.lastError(), GetParam().configureError);
    EXPECT_EQ(device.startNativeSweep(), configures);
    EXPECT_EQ(device.lastError(), configures ? "" : "native sweep is not configured");
}

INSTANTIATE_TEST_SUITE_P(Boards, HackRfSweepSupport,
                         ::testing::Values(SweepSupport{"usbApi0x0103", "sim-hackrf", "usb-api 0x0103\n", false,
                                                        "invalid native sweep configuration"},
                                           SweepSupport{"usbApi0x0104", "sim-hackrf", "usb-api 0x0104\n", true, ""},
                                           SweepSupport{"withoutInitSweep", "sim-hackrf-no-init-sweep", "", false,
                                                        "invalid native sweep configuration"},
                                           SweepSupport{"initRefused", "sim-hackrf", "fail hackrf_init_sweep -1000\n",
                                                        true, "initialize native sweep: HACKRF_ERROR_LIBUSB"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HackRfSweep, theRangeAndRateBecomeTheBoardsStepPlan)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double startHz;
        double stopHz;
        double rateHz;
        const char* outcome; // the init_sweep call, or the failure text
    } cases[] = {
        {2'400e6, 2'483.5e6, 20e6, "hackrf_init_sweep 1 2400-2500 16384 20000000 7500000 1 -> 0"},
        {88e6, 108e6, 20e6, "hackrf_init_sweep 1 88-108 16384 20000000 7500000 1 -> 0"},
        {1e6, 6e9, 7e6, "hackrf_init_sweep 1 1-6000 16384 7000000 2625000 1 -> 0"},
        {100e6, 200e6, 1e6, "hackrf_init_sweep 1 100-200 16384 2000000 750000 1 -> 0"},
        {100e6, 200e6, 25e6, "hackrf_init_sweep 1 100-200 16384 20000000 7500000 1 -> 0"},
        {100e6, 200e6, nan, "hackrf_init_sweep 1 100-200 16384 10000000 3750000 1 -> 0"},
        {100e6, 200e6, 3'333'333.7, "hackrf_init_sweep 1 100-201 16384 3333334 1250000 1 -> 0"},
        {1e6, 6e9, 20e6, "native sweep range exceeds HackRF limit"},
        {5'990e6, 6e9, 20e6, "native sweep range exceeds HackRF limit"},
        {100e6, 100e6, 20e6, "invalid native sweep configuration"},
        {999'999, 100e6, 20e6, "invalid native sweep configuration"},
        {100e6, 6e9 + 1, 20e6, "invalid native sweep configuration"},
        {nan, 100e6, 20e6, "invalid native sweep configuration"},
    };
    for (const auto& c : cases) {
        const bool planned = std::string(c.outcome).rfind("hackrf_init_sweep", 0) == 0;
        EXPECT_EQ(device().configureNativeSweep({0.0, c.rateHz, 0.0, 20.0}, c.startHz, c.stopHz), planned) << c.outcome;
        EXPECT_EQ(planned ? calls("hackrf_init_sweep").back() : device().lastError(), c.outcome);
    }
    EXPECT_EQ(calls("hackrf_set_sample_rate").back(), "hackrf_set_sample_rate 3333333.7 -> 0");
    EXPECT_EQ(device().actualRxSampleRateHz(), 3'333'333.7);
}

TEST_F(HackRfSweep, markedBlocksBecomeTaggedSweepBlocks)
{
    NativeSweepBlock block;
    EXPECT_FALSE(device().readNativeSweepBlock(block));
    startSweeping();
    ASSERT_EQ(sim().deliverSweep(3), 0);

    // Each block's frequencies, rate, sweep start and usable ranges are pinned
    // through the real library against the emulated board.
    const std::vector<NativeSweepBlock> blocks = readBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    // Interleaved steps: 2400, 2405, then 2420 MHz.
    EXPECT_EQ(blocks[2].centerFrequencyHz, 2'427.5e6);
    // The samples, a block's last 1024 bytes, carry the board's receive
    // pattern: each aligned word its own position in the stream.
    for (const NativeSweepBlock& each : blocks) {
        const std::vector<std::uint8_t> bytes = test::bytesOf(each.samples);
        ASSERT_EQ(bytes.size(), 1024u);
        const std::uint64_t position = 4 * (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint64_t{bytes[3]} << 24);
        EXPECT_EQ(position % kBlockBytes, kBlockBytes - 1024u);
        std::vector<std::uint8_t> pattern(bytes.size());
        for (std::size_t index = 0; index < pattern.size(); ++index) {
            pattern[index] = static_cast<std::uint8_t>((position + index) / 4 >> (8 * ((position + index) % 4)));
        }
        EXPECT_EQ(bytes, pattern);
    }
    // Nothing queued: false, and the caller's block is left as it was.
    block = blocks[2];
    EXPECT_FALSE(device().readNativeSweepBlock(block));
    EXPECT_EQ(block.centerFrequencyHz, 2'427.5e6);
    EXPECT_EQ(device().lastError(), "");
}

TEST_F(HackRfSweep, onlyWholeMarkedBlocksWithinTheBufferAreQueued)
{
    startSweeping(100.5e6, 101.2e6);
    std::vector<std::uint8_t> transfer = sweepBlock(100'000'000, false);
    const std::vector<std::uint8_t> marked = sweepBlock(100'000'000);
    transfer.insert(transfer.end(), marked.begin(), marked.end());
    ASSERT_EQ(sim().deliver(transfer.data(), 2 * kBlockBytes, 2 * kBlockBytes - 1), 0); // unmarked, then partial
    ASSERT_EQ(sim().deliver(marked.data(), kBlockBytes, kBlockBytes - 1), 0);
    ASSERT_EQ(sim().deliver(marked.data(), kBlockBytes, 40'000), 0); // over-reported: one block
    ASSERT_EQ(sim().deliver(transfer.data(), 2 * kBlockBytes, 20'000), 0);

    const std::vector<NativeSweepBlock> blocks = readBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].validRanges.size(), 1u);
    EXPECT_EQ(blocks[0].validRanges[0].minimumHz, 100.5e6);
    EXPECT_EQ(blocks[0].validRanges[0].maximumHz, 101.2e6);
    EXPECT_EQ(blocks[0].samples[7], std::complex<float>(17.0F / 128, 17.0F / 128));
}

TEST_F(HackRfSweep, aFullQueueDropsTheNewestBlocksAndCountsThem)
{
    startSweeping(88e6, 300e6);
    ASSERT_EQ(sim().deliverSweep(520), 0);
    EXPECT_EQ(test::lossesOf(device()).sweepDroppedBlocks, 8u);

    const std::vector<NativeSweepBlock> blocks = readBlocks();
    ASSERT_EQ(blocks.size(), 512u);
    // Steps of 20 MHz from 88 MHz, eleven of them to 308 MHz, each followed
    // by its interleaved step 5 MHz above, then over again.
    for (std::size_t index = 0; index < blocks.size(); ++index) {
        const double stepHz = 88e6 + 20e6 * static_cast<double>(index % 22 / 2) + 5e6 * static_cast<double>(index % 2);
        ASSERT_EQ(blocks[index].centerFrequencyHz, stepHz + 7.5e6) << index;
    }
}

TEST_F(HackRfSweep, sweepAndReceptionShareTheStream)
{
    startSweeping();
    EXPECT_TRUE(device().startNativeSweep());
    EXPECT_TRUE(device().startRx());
    EXPECT_TRUE(read(10).empty());
    EXPECT_FALSE(device().configureNativeSweep({0.0, 20e6, 0.0, 20.0}, 88e6, 108e6));
    EXPECT_EQ(calls("hackrf_start_rx_sweep").size(), 1u);
    EXPECT_THAT(calls("hackrf_start_rx "), IsEmpty());

    device().stopRx();
    EXPECT_THAT(calls("hackrf_stop_rx"), ElementsAre("hackrf_stop_rx -> 0"));
    NativeSweepBlock block;
    EXPECT_FALSE(device().readNativeSweepBlock(block));
    // The configuration refused while streaming unconfigured the sweep.
    EXPECT_FALSE(device().startNativeSweep());
}

TEST_F(HackRfSweep, recoveryRestartsTheStoredSweep)
{
    EXPECT_FALSE(device().recoverNativeSweep());
    EXPECT_EQ(device().lastError(), "");
    startSweeping();

    EXPECT_TRUE(device().recoverNativeSweep());
    EXPECT_THAT(calls("hackrf_stop_rx"), ElementsAre("hackrf_stop_rx -> 0"));
    EXPECT_EQ(calls("hackrf_init_sweep").size(), 2u);
    EXPECT_EQ(calls("hackrf_start_rx_sweep").size(), 2u);
    EXPECT_EQ(calls("hackrf_close").size(), 0u); // blocks after a recovery are the real library's fault test's
}

} // namespace
} // namespace veltrano
