// SPDX-License-Identifier: MIT
// The XB-200 transverter on the emulated x40, driven by Debian's real
// libbladeRF called directly: the expansion GPIO the library writes is
// decoded into the board's filter bank and path, masked writes keep the bits
// outside their mask, and a quick retune sets the switches its record
// carries as the NIOS II does, which shows how the library's transmit
// record gets them wrong.
#include "device/bladerf/BladeRfApi.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/reallib/RealLibBladeRf.h"

#include <bladeRF1.h>

#include <gmock/gmock.h>

#include <memory>
#include <string>

namespace veltrano {
namespace {

// What the board's switches say (UsbBladeRfInspection.h).
constexpr int kMixer = 1;
constexpr int kBypass = 2;
constexpr int kFilter50M = 0;
constexpr int kFilter144M = 1;
constexpr int kFilterCustom = 3;

class RealLibXb200 : public test::RealLibBladeRf {
protected:
    // Opens the board and attaches the XB-200 with its filter banks chosen
    // from the frequency.
    void SetUp() override
    {
        test::RealLibBladeRf::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_TRUE(api_.loaded);
        platform::resolveFunction(api_.module, attach_, "bladerf_expansion_attach");
        platform::resolveFunction(api_.module, setFilterbank_, "bladerf_xb200_set_filterbank");
        platform::resolveFunction(api_.module, maskedWrite_, "bladerf_expansion_gpio_masked_write");
        ASSERT_TRUE(attach_ != nullptr && setFilterbank_ != nullptr && maskedWrite_ != nullptr);
        ASSERT_EQ(api_.open(&raw_, (std::string("*:serial=") + test::kEmulatedBladeRfSerial).c_str()), 0);
        board_.reset(raw_);
        ASSERT_EQ(attach_(raw_, BLADERF_XB_200), 0);
        for (const bladerf_channel channel : {BLADERF_CHANNEL_RX(0), BLADERF_CHANNEL_TX(0)}) {
            ASSERT_EQ(setFilterbank_(raw_, channel, BLADERF_XB200_AUTO_1DB), 0);
        }
    }

    void TearDown() override
    {
        board_.reset();
        test::RealLibBladeRf::TearDown();
    }

    const BladeRfApi& api_ = bladeRfApi();
    bladerf* raw_ = nullptr;
    std::unique_ptr<bladerf, decltype(&::bladerf_close)> board_{nullptr, api_.close};
    decltype(&::bladerf_expansion_attach) attach_ = nullptr;
    decltype(&::bladerf_xb200_set_filterbank) setFilterbank_ = nullptr;
    decltype(&::bladerf_expansion_gpio_masked_write) maskedWrite_ = nullptr;
};

TEST_F(RealLibXb200, aTuneBelow300MHzGoesThroughTheMixerAndItsFilterAndOneAboveBypassesIt)
{
    const struct {
        bladerf_frequency frequencyHz;
        int path;
        int filter;
    } tunes[] = {{100'000'000, kMixer, kFilterCustom},
                 {144'000'000, kMixer, kFilter144M},
                 {50'000'000, kMixer, kFilter50M},
                 {433'000'000, kBypass, kFilter50M}}; // the bank stays where it was
    for (const auto& tune : tunes) {
        ASSERT_EQ(api_.setFrequency(raw_, BLADERF_CHANNEL_RX(0), tune.frequencyHz), 0);
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_path"), tune.path) << tune.frequencyHz;
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_filter"), tune.filter) << tune.frequencyHz;
        // The LMS6002D swaps its receive path for the mixer's.
        EXPECT_EQ((veltrano_usb_bladerf_lms_register(nullptr, 0x5a) & 0x40) != 0, tune.path == kMixer)
            << tune.frequencyHz;
    }
    const bladerf_range* range = nullptr;
    ASSERT_EQ(api_.getFrequencyRange(raw_, BLADERF_CHANNEL_RX(0), &range), 0);
    EXPECT_LE(range->min, 60'000.0 / range->scale);
}

TEST_F(RealLibXb200, aMaskedWriteKeepsTheBitsOutsideItsMaskForAnyMask)
{
    const auto before = static_cast<std::uint32_t>(veltrano_usb_bladerf_xb200(nullptr, "gpio"));
    for (const std::uint32_t mask : {0x0000ff00u, 0x00000001u, 0x80000000u, 0x0f0f0f0fu}) {
        const auto was = static_cast<std::uint32_t>(veltrano_usb_bladerf_xb200(nullptr, "gpio"));
        ASSERT_EQ(maskedWrite_(raw_, mask, ~was), 0);
        EXPECT_EQ(static_cast<std::uint32_t>(veltrano_usb_bladerf_xb200(nullptr, "gpio")),
                  (was & ~mask) | (~was & mask))
            << std::hex << mask;
    }
    ASSERT_EQ(maskedWrite_(raw_, 0xffffffffu, before), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(veltrano_usb_bladerf_xb200(nullptr, "gpio")), before);
}

// libbladeRF 2022.11 records a channel's switches with its quick tune; the
// NIOS II sets them again with the retune. The receive record holds the
// path and filter in their fields; the transmit record swaps them (path bits
// in the filter field, filter bits in the path field), so a transmit quick
// retune lands on the 144M filter and on neither path.
TEST_F(RealLibXb200, aQuickRetuneSetsTheSwitchesItsRecordCarries)
{
    const struct {
        bladerf_channel channel;
        const char* path;
        const char* filter;
        int pathAfter;
        int filterAfter;
    } channels[] = {{BLADERF_CHANNEL_RX(0), "rx_path", "rx_filter", kMixer, kFilter50M},
                    {BLADERF_CHANNEL_TX(0), "tx_path", "tx_filter", 0, kFilter144M}};
    for (const auto& each : channels) {
        bladerf_quick_tune low{};
        ASSERT_EQ(api_.setFrequency(raw_, each.channel, 50'000'000), 0);
        ASSERT_EQ(veltrano_usb_bladerf_xb200(nullptr, each.path), kMixer);
        ASSERT_EQ(veltrano_usb_bladerf_xb200(nullptr, each.filter), kFilter50M);
        ASSERT_EQ(api_.getQuickTune(raw_, each.channel, &low), 0);
        ASSERT_EQ(api_.setFrequency(raw_, each.channel, 433'000'000), 0);
        ASSERT_EQ(veltrano_usb_bladerf_xb200(nullptr, each.path), kBypass);
        ASSERT_EQ(api_.scheduleRetune(raw_, each.channel, BLADERF_RETUNE_NOW, 0, &low), 0);
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, each.path), each.pathAfter) << each.path;
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, each.filter), each.filterAfter) << each.filter;
    }
}

// Through the device layer: attached, the ranges widen, a tune below 300
// MHz reaches the board through the mixer, and a prepared receive hop on a
// running stream is a quick retune that sets the transverter's switches.
class RealLibXb200Device : public test::RealLibBladeRf {};

TEST_F(RealLibXb200Device, anXb200AttachedWidensTheRangesAndAPreparedHopBelow300MHzIsAQuickRetune)
{
    BladeRfSdrDevice device(test::kEmulatedBladeRfSerial);
    ISdrDevice& board = device;
    EXPECT_TRUE(device.accessories().empty());
    // Attached by name, as any client of the interface does; hostile names refused.
    ASSERT_EQ(board.attachableAccessories().size(), 1u);
    EXPECT_EQ(board.attachableAccessories()[0].name, "xb200");
    EXPECT_FALSE(board.attachAccessory("xb200", "60M"));
    EXPECT_THAT(board.lastError(), ::testing::HasSubstr("takes auto, 50M, 144M, 222M or custom"));
    EXPECT_FALSE(board.attachAccessory("xb300", "auto"));
    EXPECT_TRUE(device.accessories().empty());
    ASSERT_TRUE(board.attachAccessory("xb200", "auto")) << device.lastError();
    EXPECT_THAT(device.accessories(), ::testing::ElementsAre("XB-200"));
    for (const auto& ranges : {device.rxFrequencyRanges(), device.txFrequencyRanges()}) {
        ASSERT_EQ(ranges.size(), 1u);
        EXPECT_LE(ranges.front().minimumHz, 60e3);
    }
    ASSERT_TRUE(device.configureRx({100e6, 2e6, 0.0, 20.0})) << device.lastError();
    EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_path"), kMixer);
    EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_filter"), kFilterCustom);
    ASSERT_TRUE(device.prepareRxFrequencies({144e6, 433e6}));
    ASSERT_TRUE(device.startRx()) << device.lastError();
    const struct {
        double frequencyHz;
        int path;
        int filter;
    } hops[] = {{144e6, kMixer, kFilter144M}, {433e6, kBypass, kFilter144M}};
    for (const auto& hop : hops) {
        ASSERT_TRUE(device.setRxFrequency(hop.frequencyHz)) << device.lastError();
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_path"), hop.path) << hop.frequencyHz;
        EXPECT_EQ(veltrano_usb_bladerf_xb200(nullptr, "rx_filter"), hop.filter) << hop.frequencyHz;
    }
    EXPECT_EQ(device.fastRxRetuneCount(), 2u);
    EXPECT_EQ(device.failedFastRxRetuneCount(), 0u);
    // Attached while the board streams, it is refused in words.
    EXPECT_FALSE(device.attachXb200(BladeRfSdrDevice::Xb200Filter::mhz50));
    EXPECT_THAT(device.lastError(), ::testing::HasSubstr("while neither direction streams"));
    device.stopRx();
}

} // namespace
} // namespace veltrano
