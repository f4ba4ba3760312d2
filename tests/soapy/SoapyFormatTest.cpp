// SPDX-License-Identifier: MIT
// Sample formats through the module: the other integer format than the
// board's own maps exactly (CS8 full scale 128, CS16 full scale 2048, one CS8
// step = 16 CS16 steps). The board's own format passing through untouched,
// and CF32, are checked bit exact by the client tests (GNU Radio's
// flowgraphs, SoapyRemote); which format is native, by SoapySDR's tool.
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace veltrano {
namespace {

using SoapyFormats = test::SoapyModule;

// The exact integer mappings between the two integer formats.
std::int16_t widened(std::int8_t value)
{
    return static_cast<std::int16_t>(value * 16);
}

std::int8_t narrowed(std::int16_t value)
{
    const int magnitude = (std::abs(value) + 8) / 16;
    return static_cast<std::int8_t>(std::clamp(value < 0 ? -magnitude : magnitude, -128, 127));
}

// Every byte value, in an order that is not a ramp.
std::vector<std::int8_t> everyByte(std::size_t count)
{
    std::vector<std::int8_t> bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        bytes[index] = static_cast<std::int8_t>(index * 157 + index / 256);
    }
    return bytes;
}

// The simulated libhackrf's stream controls, from the very library the
// module loaded (a second load of the same file is the same library).
class SoapyHackRfFormats : public SoapyFormats {
protected:
    void SetUp() override
    {
        simulateHackRf("board H1\n");
        device_ = make("driver=veltrano");
        control_.emplace();
        ASSERT_NE(control_->pull, nullptr);
    }

    SoapySDR::Device& device() { return *device_; }

    void deliver(const std::vector<std::int8_t>& bytes)
    {
        const int length = static_cast<int>(bytes.size());
        ASSERT_EQ(control_->deliver(reinterpret_cast<const unsigned char*>(bytes.data()), length, length), 0);
    }

    std::vector<std::int8_t> pull(std::size_t length)
    {
        std::vector<std::int8_t> bytes(length);
        int valid = 0;
        EXPECT_EQ(control_->pull(static_cast<int>(length), reinterpret_cast<unsigned char*>(bytes.data()), &valid), 0);
        bytes.resize(static_cast<std::size_t>(std::max(valid, 0)));
        return bytes;
    }

private:
    test::SoapyDevicePointer device_;
    std::optional<test::HackRfSimulatorControl> control_;
};

// Each byte arrives widened, in reads as large as the stream's MTU (straight
// to the client) and in small ones (handed out from what one board read
// returned).
TEST_F(SoapyHackRfFormats, receivedBytesReachTheClientWidenedAsCs16)
{
    const std::size_t samples = 131'072;
    const std::vector<std::int8_t> sent = everyByte(2 * samples);
    std::vector<std::int16_t> expected(sent.size());
    std::transform(sent.begin(), sent.end(), expected.begin(), widened);
    for (const std::size_t readSize : {samples, std::size_t{999}}) {
        SCOPED_TRACE(readSize);
        SoapySDR::Stream* stream = start(device(), SOAPY_SDR_RX, SOAPY_SDR_CS16);
        deliver(sent);
        std::vector<std::int16_t> received(sent.size());
        for (std::size_t done = 0; done < samples;) {
            const int result = read(device(), stream, received.data() + 2 * done, std::min(readSize, samples - done));
            ASSERT_GT(result, 0);
            done += static_cast<std::size_t>(result);
        }
        EXPECT_EQ(received, expected);
        device().deactivateStream(stream);
        device().closeStream(stream);
    }
}

TEST_F(SoapyHackRfFormats, clientCs16SamplesReachTheBoardExactly)
{
    const std::vector<std::int8_t> bytes = everyByte(2 * 3000);
    // Divided by 16 with halves away from zero.
    std::vector<std::int16_t> values(2 * 3000);
    for (std::size_t index = 0; index < values.size(); ++index) {
        values[index] = static_cast<std::int16_t>(bytes[index] * 16 + static_cast<int>(index % 17) - 8);
    }
    values[0] = -32768;
    values[1] = 32767;
    values[2] = -2056; // -128.5 steps: away from zero, then limited
    values[3] = 2040;  // 127.5 steps
    values[4] = -8;
    values[5] = 7;
    std::vector<std::int8_t> expectedFromCs16(values.size());
    std::transform(values.begin(), values.end(), expectedFromCs16.begin(), narrowed);
    EXPECT_THAT(std::vector(expectedFromCs16.begin(), expectedFromCs16.begin() + 6),
                ::testing::ElementsAre(-128, 127, -128, 127, -1, 0));

    SoapySDR::Stream* stream = start(device(), SOAPY_SDR_TX, SOAPY_SDR_CS16);
    ASSERT_EQ(write(device(), stream, values.data(), 3000), 3000);
    EXPECT_EQ(pull(values.size()), expectedFromCs16);
}

TEST_F(SoapyFormats, bladeRfValuesMapExactlyToAndFromCs8AndABurstEndCompletesTheBuffer)
{
    const test::TemporaryDirectory directory;
    const test::ScopedEnvironment capture("VELTRANO_SIM_BLADERF_TX_CAPTURE", test::environmentText(directory / "tx"));
    simulateBladeRf("board serial=B1\n");
    const auto device = make("driver=veltrano");

    // The simulator names each sample's timestamp t, from 0 on a fresh stream:
    // I = t mod 2048 and Q = t / 2048 mod 2048.
    SoapySDR::Stream* stream = start(*device, SOAPY_SDR_RX, SOAPY_SDR_CS8);
    std::vector<std::int8_t> received(2 * 16384);
    std::int64_t t = 0;
    for (const std::size_t count : {std::size_t{16384}, std::size_t{1000}, std::size_t{3072}}) {
        ASSERT_EQ(read(*device, stream, received.data(), count), static_cast<int>(count));
        for (std::size_t k = 0; k < count; ++k, ++t) {
            ASSERT_EQ(received[2 * k], narrowed(static_cast<std::int16_t>(t % 2048))) << t;
            ASSERT_EQ(received[2 * k + 1], narrowed(static_cast<std::int16_t>(t / 2048 % 2048))) << t;
        }
    }
    device->deactivateStream(stream);
    device->closeStream(stream);

    // Transmit: CS8 values reach the library times 16, and the burst's end
    // drains the board, which completes the library's buffers with silence.
    const std::vector<std::int8_t> sent = everyByte(2 * 1000);
    stream = start(*device, SOAPY_SDR_TX, SOAPY_SDR_CS8);
    EXPECT_EQ(write(*device, stream, sent.data(), 1000, SOAPY_SDR_END_BURST), 1000);
    const std::string captured = test::readTextFile(directory / "tx");
    ASSERT_GT(captured.size(), 65536u * 2 * sizeof(std::int16_t));
    std::vector<std::int16_t> values(captured.size() / sizeof(std::int16_t));
    std::memcpy(values.data(), captured.data(), captured.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), values.begin(),
                           [](std::int8_t byte, std::int16_t value) { return widened(byte) == value; }));
    EXPECT_TRUE(std::all_of(values.begin() + 2000, values.end(), [](std::int16_t value) { return value == 0; }));
}

} // namespace
} // namespace veltrano
