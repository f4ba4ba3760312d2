// SPDX-License-Identifier: MIT
// The bladeRF 2.0 micro as the library drives it by default: the library
// programs the AD9361 itself, register by register, and the emulated chip
// decodes what is in force from its registers. (The streaming, retune, live
// control and transmit tests of the micro run in this mode too.)
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

#include <complex>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace veltrano {
namespace {

using test::RealLibBladeRf;
using ::testing::HasSubstr;

constexpr StreamDirection kRx = StreamDirection::rx;
constexpr StreamDirection kTx = StreamDirection::tx;

// The receive stage's range moves with the band (the library's gain tables),
// and the overall gain lands on the chip as that stage less the band's
// offset; the chip's registers hold the rate and, to its synthesizer's
// resolution, the frequency asked for, and the board paces at that rate.
TEST_F(RealLibBladeRf, eachBandHasItsStageRangeAndTheChipHoldsWhatWasAsked)
{
    struct Band {
        double frequencyHz;
        double rateHz;
        double minimumDb;
        double maximumDb;
        std::int64_t fullStageAt20Db;
    };
    const Band bands[] = {
        {100e6, 2e6, 1, 77, 37},
        {915e6, 5e6, 1, 77, 37},
        {2.4e9, 10e6, -4, 71, 31},
        {5.8e9, 2e6, -10, 62, 22},
    };
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    for (const Band& band : bands) {
        SCOPED_TRACE(band.frequencyHz);
        ASSERT_TRUE(device.configureRx({band.frequencyHz, band.rateHz, 0.0, 20.0})) << device.lastError();
        const std::vector<GainStage> stages = device.gainStages(kRx);
        ASSERT_EQ(stages.size(), 1u);
        EXPECT_EQ(std::tuple(stages[0].name, stages[0].minimumDb, stages[0].maximumDb, stages[0].stepDb),
                  std::tuple(std::string("full"), band.minimumDb, band.maximumDb, 1.0));
        EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, 7, 0), band.fullStageAt20Db);
        EXPECT_EQ(veltrano_usb_bladerf_rfic(nullptr, 3, 0), band.rateHz);
        EXPECT_LE(std::llabs(veltrano_usb_bladerf_rfic(nullptr, 4, 0) - static_cast<std::int64_t>(band.frequencyHz)),
                  2);
        EXPECT_EQ(veltrano_usb_bladerf_sample_rate(nullptr, 0), band.rateHz);
    }
    // The library scales the attenuator's range in single precision.
    const std::vector<GainStage> transmit = device.gainStages(kTx);
    ASSERT_EQ(transmit.size(), 1u);
    EXPECT_EQ(transmit[0].name, "dsa");
    EXPECT_FLOAT_EQ(transmit[0].minimumDb, -89.75);
    EXPECT_FLOAT_EQ(transmit[0].maximumDb, 0.0);
    EXPECT_FLOAT_EQ(transmit[0].stepDb, 0.25);
}

// A calibration that never ends fails the open with the library's words, once
// the library's own wait is over (about 7 s); the next open works.
TEST_F(RealLibBladeRf, aCalibrationThatNeverEndsFailsTheOpenAndTheNextOpenWorks)
{
    veltrano_usb_bladerf_rfic_faults(nullptr, 0, 1);
    const std::string failure = test::openFailureOf<BladeRfSdrDevice>(test::kEmulatedBladeRfSerial);
    veltrano_usb_bladerf_rfic_faults(nullptr, 0, 0);
    EXPECT_EQ(failure, "bladeRF open failed: An unexpected error occurred");
    EXPECT_EQ(veltrano_usb_bladerf_open_handles(), 0);
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    EXPECT_TRUE(device.configureRx({915e6, 2e6, 0.0, 20.0})) << device.lastError();
}

// The library waits for a synthesizer's lock, logs the time-out and goes on
// as if tuned; the board's lock bits make the call fail in words instead: the
// open without a sample clock, a tune or retune without its frequency. The
// stream goes on, and once the synthesizers lock every call works again.
TEST_F(RealLibBladeRf, aSynthesizerThatNeverLocksFailsTheOpenOrTheTuneInWords)
{
    veltrano_usb_bladerf_rfic_faults(nullptr, 1, 0);
    EXPECT_EQ(test::openFailureOf<BladeRfSdrDevice>(test::kEmulatedBladeRfSerial),
              "bladeRF open failed: the baseband PLL did not lock");
    EXPECT_EQ(veltrano_usb_bladerf_open_handles(), 0);
    veltrano_usb_bladerf_rfic_faults(nullptr, 0, 0);

    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ASSERT_TRUE(device.configureRx({915e6, 2e6, 0.0, 20.0}));
    ASSERT_TRUE(device.configureTx({915e6, 2e6, 0.0, 20.0}));
    ASSERT_TRUE(device.startRx());
    veltrano_usb_bladerf_rfic_faults(nullptr, 1, 0);
    EXPECT_FALSE(device.setRxFrequency(2.4e9));
    EXPECT_EQ(device.lastError(), "RX synthesizer did not lock at 2400000000 Hz");
    EXPECT_EQ(device.regularRxRetuneCount(), 0u);
    device.stopRx();
    EXPECT_FALSE(device.configureRx({433.92e6, 2e6, 0.0, 20.0}));
    EXPECT_EQ(device.lastError(), "RX synthesizer did not lock at 433920000 Hz");
    EXPECT_FALSE(device.configureTx({868e6, 2e6, 0.0, 20.0}));
    EXPECT_EQ(device.lastError(), "TX synthesizer did not lock at 868000000 Hz");
    veltrano_usb_bladerf_rfic_faults(nullptr, 0, 0);
    EXPECT_TRUE(device.configureRx({433.92e6, 2e6, 0.0, 20.0}));
    ASSERT_TRUE(device.startRx());
    EXPECT_TRUE(device.setRxFrequency(2.4e9)) << device.lastError();
    std::vector<std::complex<float>> samples(4096);
    EXPECT_EQ(device.readSamples(samples.data(), samples.size()), samples.size());
}

} // namespace
} // namespace veltrano
