// SPDX-License-Identifier: MIT
// Sample formats through the module: the other integer format than the
// board's own maps exactly (CS8 full scale 128, CS16 full scale 2048, one CS8
// step = 16 CS16 steps), and so does CF64, one mapping for both families,
// here on the HackRF in both directions. The board's own format passing through untouched, and
// CF32, are checked bit exact by the client tests (GNU Radio's flowgraphs,
// SoapyRemote) and the bladeRF stream tests; which format is native, by
// SoapySDR's tool.
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/soapy/SoapyFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace veltrano {
namespace {

// The exact integer mapping from CS16 to CS8 (the other way is times 16).
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
class SoapyHackRfFormats : public test::SoapyModule {
protected:
    void SetUp() override
    {
        simulateHackRf("board H1\n");
        device_ = make("driver=veltrano");
        control_.emplace();
        ASSERT_NE(control_->pull, nullptr);
    }

    test::SoapyDevicePointer device_;
    std::optional<test::HackRfSimulatorControl> control_;
};

// What a received value stands for, in CS8 steps, whatever its format.
template <typename Value>
std::vector<double> inCs8Steps(const std::vector<Value>& values, double step)
{
    std::vector<double> steps(values.size());
    std::transform(values.begin(), values.end(), steps.begin(), [step](Value value) { return value / step; });
    return steps;
}

// Each byte arrives widened (CS16: times 16; CF64: over 128, exact), in reads
// as large as the stream's MTU (straight to the client) and in small ones
// (handed out from what one board read returned).
TEST_F(SoapyHackRfFormats, receivedBytesReachTheClientWidenedAsCs16AndCf64)
{
    const std::size_t samples = 131'072;
    const std::vector<std::int8_t> sent = everyByte(2 * samples);
    const std::vector<double> expected(sent.begin(), sent.end());
    for (const bool doubles : {false, true}) {
        for (const std::size_t readSize : {samples, std::size_t{999}}) {
            SCOPED_TRACE(testing::Message() << (doubles ? "CF64 " : "CS16 ") << readSize);
            SoapySDR::Stream* stream = start(*device_, SOAPY_SDR_RX, doubles ? SOAPY_SDR_CF64 : SOAPY_SDR_CS16);
            const int length = static_cast<int>(sent.size());
            ASSERT_EQ(control_->deliver(reinterpret_cast<const unsigned char*>(sent.data()), length, length), 0);
            std::vector<std::int16_t> values(sent.size());
            std::vector<double> floats(sent.size());
            for (std::size_t done = 0; done < samples;) {
                void* at = doubles ? static_cast<void*>(floats.data() + 2 * done) : values.data() + 2 * done;
                const int result = read(*device_, stream, at, std::min(readSize, samples - done));
                ASSERT_GT(result, 0);
                done += static_cast<std::size_t>(result);
            }
            EXPECT_EQ(doubles ? inCs8Steps(floats, 1.0 / 128) : inCs8Steps(values, 16.0), expected);
            device_->deactivateStream(stream);
            device_->closeStream(stream);
        }
    }
}

// CF64 goes to the board as CF32 would, value for value.
TEST_F(SoapyHackRfFormats, clientCf64SamplesReachTheBoardAsCf32Ones)
{
    const std::vector<std::int8_t> bytes = everyByte(2 * 3000);
    std::vector<std::vector<std::int8_t>> pulled;
    for (const bool doubles : {false, true}) {
        std::vector<double> values(bytes.size());
        // Between the board's steps, so that rounding is exercised too.
        std::transform(bytes.begin(), bytes.end(), values.begin(), [](std::int8_t byte) { return (byte + 0.3) / 128; });
        const std::vector<float> floats(values.begin(), values.end());
        SoapySDR::Stream* stream = start(*device_, SOAPY_SDR_TX, doubles ? SOAPY_SDR_CF64 : SOAPY_SDR_CF32);
        const void* samples = doubles ? static_cast<const void*>(values.data()) : floats.data();
        ASSERT_EQ(write(*device_, stream, samples, 3000), 3000);
        std::vector<std::int8_t>& board = pulled.emplace_back(bytes.size());
        int valid = 0;
        EXPECT_EQ(
            control_->pull(static_cast<int>(board.size()), reinterpret_cast<unsigned char*>(board.data()), &valid), 0);
        EXPECT_EQ(valid, static_cast<int>(bytes.size()));
        device_->deactivateStream(stream);
        device_->closeStream(stream);
    }
    EXPECT_EQ(pulled[1], pulled[0]);
    EXPECT_NE(pulled[0], std::vector<std::int8_t>(bytes.size(), 0));
}

TEST_F(SoapyHackRfFormats, clientCs16SamplesReachTheBoardExactly)
{
    const std::vector<std::int8_t> bytes = everyByte(2 * 3000);
    // Divided by 16 with halves away from zero.
    std::vector<std::int16_t> values(2 * 3000);
    for (std::size_t index = 0; index < values.size(); ++index) {
        values[index] = static_cast<std::int16_t>(bytes[index] * 16 + static_cast<int>(index % 17) - 8);
    }
    // -128.5 and 127.5 steps go away from zero, then are limited.
    const std::int16_t edges[] = {-32768, 32767, -2056, 2040, -8, 7};
    std::copy(std::begin(edges), std::end(edges), values.begin());
    std::vector<std::int8_t> expectedFromCs16(values.size());
    std::transform(values.begin(), values.end(), expectedFromCs16.begin(), narrowed);
    EXPECT_THAT(std::vector(expectedFromCs16.begin(), expectedFromCs16.begin() + 6),
                ::testing::ElementsAre(-128, 127, -128, 127, -1, 0));

    SoapySDR::Stream* stream = start(*device_, SOAPY_SDR_TX, SOAPY_SDR_CS16);
    ASSERT_EQ(write(*device_, stream, values.data(), 3000), 3000);
    std::vector<std::int8_t> pulled(values.size());
    int valid = 0;
    EXPECT_EQ(control_->pull(static_cast<int>(pulled.size()), reinterpret_cast<unsigned char*>(pulled.data()), &valid),
              0);
    EXPECT_EQ(valid, static_cast<int>(values.size()));
    EXPECT_EQ(pulled, expectedFromCs16);
}

} // namespace
} // namespace veltrano
