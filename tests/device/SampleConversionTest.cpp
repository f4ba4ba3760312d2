// SPDX-License-Identifier: MIT
#include "device/SampleConversion.h"
#include "device/conversion/ConversionKernels.h"
#include "device/conversion/StreamingThreshold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>
#include <type_traits>
#include <vector>

namespace veltrano::detail {

namespace {

using enum InstructionSet;
using enum StorePolicy;

// The conversion rules stated independently of the kernels: powers of two,
// rounding in double precision, explicit comparisons instead of min/max.
float cs8Rule(std::int8_t value)
{
    return static_cast<float>(value) / 128.0F;
}

float sc16Rule(std::int16_t value)
{
    return std::ldexp(static_cast<float>(value), -11);
}

// |v| + 0.5 is exact in double for these ranges, so its floor rounds (not
// lround: mingw-w64's rounds 0.49999997 up).
long roundedHalfAwayFromZero(float value)
{
    const double magnitude = std::floor(std::fabs(static_cast<double>(value)) + 0.5);
    return static_cast<long>(value < 0 ? -magnitude : magnitude);
}

std::int8_t cs8Rule(float value)
{
    if (std::isnan(value)) {
        return -127;
    }
    const float scaled = std::clamp(value, -1.0F, 1.0F) * 127.0F;
    return static_cast<std::int8_t>(std::clamp(roundedHalfAwayFromZero(scaled), -127L, 127L));
}

std::int16_t sc16Rule(float value)
{
    if (std::isnan(value) || value < -1.0F) {
        return -2048;
    }
    const float scaled = value > 1.0F ? 2048.0F : value * 2048.0F;
    return static_cast<std::int16_t>(std::clamp(roundedHalfAwayFromZero(scaled), -2048L, 2047L));
}

// Floats compare by their bits, so a sign of zero or a NaN payload counts.
template <typename Value>
long long bitsOf(Value value)
{
    if constexpr (std::is_same_v<Value, float>) {
        return std::bit_cast<std::uint32_t>(value);
    } else {
        return value;
    }
}

// Pointers to sample `start` of a flat buffer, typed as the kernels take them.
template <typename Value>
auto samplesAt(Value* values, std::size_t start)
{
    if constexpr (std::is_same_v<std::remove_const_t<Value>, float>) {
        using Sample = std::conditional_t<std::is_const_v<Value>, const std::complex<float>, std::complex<float>>;
        return reinterpret_cast<Sample*>(values + 2 * start);
    } else {
        return values + 2 * start;
    }
}

// Runs the kernel on values (flat: I, Q, I, Q ...) and checks every output
// against the rule, value by value.
template <typename In, typename Out, typename Rule>
void expectExact(void (*kernel)(const In*, Out*, std::size_t), const auto& values, Rule rule)
{
    std::vector<decltype(rule(values[0]))> out(values.size());
    kernel(samplesAt(values.data(), 0), samplesAt(out.data(), 0), values.size() / 2);
    for (std::size_t index = 0; index < values.size(); ++index) {
        ASSERT_EQ(bitsOf(out[index]), bitsOf(rule(values[index])))
            << "input " << bitsOf(values[index]) << " (bits) at position " << index;
    }
}

// Every length from 0 to 67 samples, written at every value position of a
// 64-byte line (odd ones off the sample size), read from 0 to 3 samples in,
// so every head and tail path runs; the outputs around keep their guard.
template <typename In, typename Out, typename Rule, typename Flat>
void expectEveryLengthAndStart(void (*kernel)(const In*, Out*, std::size_t), const auto& values, Rule rule, Flat guard)
{
    constexpr std::size_t lineValues = 64 / sizeof(Flat);
    for (std::size_t first = 0; first < lineValues; ++first) {
        const std::size_t start = first % 4;
        for (std::size_t count = 0; count <= 67; ++count) {
            std::vector<Flat> buffer(lineValues + first + 2 * count + 8, guard);
            const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(buffer.data()) % 64 / sizeof(Flat);
            Flat* line = buffer.data() + (lineValues - misalignment) % lineValues;
            kernel(samplesAt(values.data(), start), samplesAt(line + first, 0), count);
            for (std::size_t index = 0; index < first + 2 * count + 8; ++index) {
                const bool written = index >= first && index < first + 2 * count;
                ASSERT_EQ(bitsOf(line[index]), bitsOf(written ? rule(values[2 * start + index - first]) : guard))
                    << count << " samples from sample " << start << " to value " << first << " of a line, position "
                    << index;
            }
        }
    }
}

// Every value of an integer sample type, in order.
template <typename Value>
std::vector<Value> everyValue()
{
    std::vector<Value> values(std::size_t{1} << (8 * sizeof(Value)));
    std::iota(values.begin(), values.end(), std::numeric_limits<Value>::min());
    return values;
}

// Floats on and beside every rounding and clamping boundary of both
// formats, from both sides and with both signs, and the special values.
std::vector<float> boundaryFloats()
{
    constexpr float largest = std::numeric_limits<float>::max();
    std::vector<float> anchors{0.0F, 0.5F,  1.0F,   1.0F / 4096, 2047.5F / 2048, std::numeric_limits<float>::min(),
                               2.0F, 1e30F, largest};
    for (int whole = 0; whole <= 127; ++whole) {
        anchors.push_back((whole + 0.5F) / 127.0F); // where value * 127 reaches a half
    }
    for (int whole = 0; whole <= 2048; ++whole) {
        anchors.push_back((whole + 0.5F) / 2048.0F);
    }
    // The special values come first, so that they fall in the wide steps of
    // every set and not only in the tails handed on to narrower sets.
    constexpr float infinity = std::numeric_limits<float>::infinity();
    std::vector<float> values{infinity, -infinity, std::numeric_limits<float>::denorm_min(),
                              -std::nextafter(std::numeric_limits<float>::min(), 0.0F)};
    for (const std::uint32_t nan :
         {0x7FC00000U, 0xFFC00000U, 0x7F800001U, 0xFF800001U, 0x7FFFFFFFU, 0xFFBFFFFFU, 0x7FA5A5A5U, 0xFFD23456U}) {
        values.push_back(std::bit_cast<float>(nan));
    }
    for (const float anchor : anchors) {
        for (const float sign : {1.0F, -1.0F}) {
            float below = sign * anchor;
            float above = below;
            values.push_back(below);
            for (int step = 0; step < 3; ++step) {
                below = std::nextafter(below, -largest);
                above = std::nextafter(above, largest);
                values.insert(values.end(), {below, above});
            }
        }
    }
    if (values.size() % 2 != 0) {
        values.push_back(-0.0F);
    }
    return values;
}

// A fixed-seed mix of arbitrary bit patterns (huge values, NaNs, subnormals)
// and values spread over the interesting range just beyond -1..1: `pairs` of each.
std::vector<float> randomFloats(std::size_t pairs)
{
    std::mt19937 generator(20261206);
    std::uniform_int_distribution<std::uint32_t> anyBits;
    std::uniform_real_distribution<float> nearRange(-1.01F, 1.01F);
    std::vector<float> values;
    for (std::size_t index = 0; index < pairs; ++index) {
        values.insert(values.end(), {std::bit_cast<float>(anyBits(generator)), nearRange(generator)});
    }
    return values;
}

constexpr auto cs8 = [](auto value) { return cs8Rule(value); };
constexpr auto sc16 = [](auto value) { return sc16Rule(value); };

// Both float kernels of a set over the floats, both integer kernels over every value.
void expectAllExact(const ConversionKernels& kernels, const std::vector<float>& floats)
{
    expectExact(kernels.cf32ToCs8, floats, cs8);
    expectExact(kernels.cf32ToSc16, floats, sc16);
    expectExact(kernels.cs8ToCf32, everyValue<std::int8_t>(), cs8);
    expectExact(kernels.sc16ToCf32, everyValue<std::int16_t>(), sc16);
}

// Every set with ordinary stores and with streaming stores: both must give
// the same bits, whatever the alignment and length.
class SampleConversionKernels : public testing::TestWithParam<std::tuple<InstructionSet, StorePolicy>> {
protected:
    void SetUp() override
    {
        const auto [set, policy] = GetParam();
        kernels_ = conversionKernels(set, policy);
        if (kernels_ == nullptr) {
            GTEST_SKIP() << "the instruction set does not run on this machine";
        }
    }

    const ConversionKernels* kernels_ = nullptr;
};

TEST_P(SampleConversionKernels, everyLengthAndStartConvertsExactlyAndWritesNothingOutside)
{
    const float nanGuard = std::bit_cast<float>(0x7FA5A5A5U);
    expectEveryLengthAndStart(kernels_->cs8ToCf32, everyValue<std::int8_t>(), cs8, nanGuard);
    expectEveryLengthAndStart(kernels_->sc16ToCf32, everyValue<std::int16_t>(), sc16, nanGuard);
    // Neither format ever produces its most negative value, so it marks the guard.
    const std::vector<float> floats = boundaryFloats();
    expectEveryLengthAndStart(kernels_->cf32ToCs8, floats, cs8, std::int8_t{-128});
    expectEveryLengthAndStart(kernels_->cf32ToSc16, floats, sc16, std::int16_t{-32768});
}

// Moves the stack by 16 bytes per level, then converts: wide registers
// spilled with aligned moves to a 16-byte aligned stack fault at some depths.
[[gnu::noinline]] void convertAtDepth(const ConversionKernels& kernels, int depth, const std::vector<float>& floats)
{
    if (depth > 0) {
        volatile char frame[16] = {};
        convertAtDepth(kernels, depth - 1, floats);
        frame[0] = frame[15];
        return;
    }
    expectAllExact(kernels, floats);
}

// Every boundary float and integer value from shallow and deep call stacks,
// then millions of random floats. With VELTRANO_EXHAUSTIVE_CONVERSION_TEST
// set, every one of the 2^32 float bit patterns follows: minutes of work, so
// only on request.
TEST_P(SampleConversionKernels, convertsExactlyFromAnyStackDepthAndForMillionsOfRandomFloats)
{
    const std::vector<float> floats = boundaryFloats();
    for (const int depth : {0, 1, 2, 3, 4, 5, 6, 7, 100}) {
        SCOPED_TRACE(depth);
        convertAtDepth(*kernels_, depth, floats);
    }
    expectAllExact(*kernels_, randomFloats(1 << 21));
    if (std::getenv("VELTRANO_EXHAUSTIVE_CONVERSION_TEST") == nullptr) {
        return;
    }
    std::vector<float> values(1 << 20);
    for (std::uint64_t first = 0; first < (std::uint64_t{1} << 32) && !HasFatalFailure(); first += values.size()) {
        for (std::uint64_t index = 0; index < values.size(); ++index) {
            values[index] = std::bit_cast<float>(static_cast<std::uint32_t>(first + index));
        }
        expectAllExact(*kernels_, values);
    }
}

// The portable and NEON loops have only ordinary stores.
// Split: sample n of the two-channel stream (words 2n, 2n + 1) goes to
// sample n of each channel; join puts it back. Every length to 67 samples,
// from 0 to 3 samples into the stream and to outputs off their alignment
// by 0 to 3 words; the words around the outputs keep their guard.
TEST_P(SampleConversionKernels, splitAndJoinMoveEverySampleToItsChannelAndBackForEveryLengthAndStart)
{
    constexpr std::int16_t guard = 0x5A5A;
    std::vector<std::int16_t> stream(4 * 72);
    std::iota(stream.begin(), stream.end(), std::int16_t{-300}); // every word a value of its own
    for (std::size_t start = 0; start < 4; ++start) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            for (std::size_t count = 0; count <= 67; ++count) {
                std::vector<std::int16_t> channel0(2 * count + offset + 4, guard);
                std::vector<std::int16_t> channel1(channel0);
                kernels_->splitSc16x2(stream.data() + 4 * start, channel0.data() + offset, channel1.data() + offset,
                                      count);
                for (std::size_t index = 0; index < channel0.size(); ++index) {
                    const bool written = index >= offset && index < offset + 2 * count;
                    const std::size_t word = index - offset; // within the channel's samples when written
                    const std::size_t source = 4 * (start + word / 2) + word % 2;
                    ASSERT_EQ(channel0[index], written ? stream[source] : guard) << count << " samples, word " << index;
                    ASSERT_EQ(channel1[index], written ? stream[source + 2] : guard)
                        << count << " samples, word " << index;
                }
                std::vector<std::int16_t> joined(4 * count + offset + 4, guard);
                kernels_->joinSc16x2(channel0.data() + offset, channel1.data() + offset, joined.data() + offset, count);
                for (std::size_t index = 0; index < joined.size(); ++index) {
                    const bool written = index >= offset && index < offset + 4 * count;
                    ASSERT_EQ(joined[index], written ? stream[4 * start + index - offset] : guard)
                        << count << " samples joined, word " << index;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryInstructionSet, SampleConversionKernels,
                         testing::Values(std::tuple(Scalar, Cached), std::tuple(Sse2, Cached),
                                         std::tuple(Sse2, Streaming), std::tuple(Avx2, Cached),
                                         std::tuple(Avx2, Streaming), std::tuple(Avx512, Cached),
                                         std::tuple(Avx512, Streaming), std::tuple(Neon, Cached)),
                         [](const auto& info) {
                             const bool streaming = std::get<StorePolicy>(info.param) == StorePolicy::Streaming;
                             return std::string(instructionSetName(std::get<InstructionSet>(info.param))) +
                                    (streaming ? "_streaming" : "");
                         });

TEST(SampleConversion, publicFunctionsRunTheWidestSetTheMachineRunsWithTheDocumentedResults)
{
    const InstructionSet active = activeInstructionSet();
    EXPECT_EQ(&activeConversionKernels(), conversionKernels(active));
    for (const InstructionSet wider : {Sse2, Avx2, Avx512, Neon}) {
        if (wider > active) {
            EXPECT_EQ(conversionKernels(wider), nullptr) << instructionSetName(wider) << " runs but is not chosen";
        }
    }
#if defined(__x86_64__)
    // The compiler's own detection also checks what the system enables.
    EXPECT_EQ(processorRuns(InstructionSet::Avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(processorRuns(InstructionSet::Avx512),
              __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"));
#elif defined(__aarch64__)
    // Every 64-bit ARM processor has NEON.
    EXPECT_EQ(active, InstructionSet::Neon);
#endif

    // Received values are pinned where the boards' streams arrive; the
    // rounding and clamping of transmitted ones here.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::complex<float>> sent{
        {1.0F, -1.0F}, {2.0F, -3.0F}, {0.5F, -0.5F}, {nan, 1.5F}, {1.0F / 4096, -1.0F / 4096}};
    std::vector<std::int8_t> cs8(2 * sent.size());
    convertCf32ToCs8(sent.data(), cs8.data(), sent.size());
    EXPECT_EQ(cs8, (std::vector<std::int8_t>{127, -127, 127, -127, 64, -64, -127, 127, 0, 0}));
    std::vector<std::int16_t> sc16(2 * sent.size());
    convertCf32ToSc16(sent.data(), sc16.data(), sent.size());
    EXPECT_EQ(sc16, (std::vector<std::int16_t>{2047, -2048, 2047, -2048, 1024, -1024, -2048, 2047, 1, -1}));
}

// Outputs from the threshold on run the streaming kernels, smaller ones the
// cached: both give the portable loops' bits, one sample short of the
// threshold and a few past it, to an output off its cache line.
template <typename In, typename Out>
void expectSameBitsAroundThreshold(void (*convert)(const In*, Out*, std::size_t),
                                   void (*portable)(const In*, Out*, std::size_t), const std::vector<In>& values)
{
    constexpr std::size_t valuesOut = std::is_integral_v<Out> ? 2 : 1;
    const std::size_t threshold = streamingStoreThreshold();
    const std::size_t beyond = threshold / (valuesOut * sizeof(Out)) + 45;
    ASSERT_GE(values.size(), (std::is_integral_v<In> ? 2 : 1) * beyond);
    for (const std::size_t count : {(threshold - 1) / (valuesOut * sizeof(Out)), beyond}) {
        // A sample of guard either side, which also misaligns the output.
        std::vector<Out> expected(valuesOut * (count + 2));
        portable(values.data(), expected.data() + valuesOut, count);
        std::vector<Out> out(expected.size());
        convert(values.data(), out.data() + valuesOut, count);
        ASSERT_TRUE(out == expected) << count << " samples";
    }
}

TEST(SampleConversion, publicFunctionsStreamOnlyOutputsFromTheThresholdOnWithTheSameResults)
{
    const std::size_t threshold = streamingStoreThreshold();
    EXPECT_EQ(threshold, streamingOutputThreshold(level2CacheBytes(), lastLevelCacheBytes()));
    const ConversionKernels* streaming = conversionKernels(activeInstructionSet(), StorePolicy::Streaming);
    EXPECT_EQ(&activeConversionKernels(StorePolicy::Streaming),
              streaming != nullptr ? streaming : &activeConversionKernels());
    EXPECT_EQ(storePolicyFor(threshold - 1), StorePolicy::Cached);
    EXPECT_EQ(storePolicyFor(threshold), streaming != nullptr ? StorePolicy::Streaming : StorePolicy::Cached);

    // Enough input for the largest call, threshold / 2 + 45 samples of 8-bit
    // output; the integers are the random floats' bits.
    const std::size_t samples = threshold / 2 + 45;
    const std::vector<float> values = randomFloats(samples);
    const std::vector<std::complex<float>> floats(samplesAt(values.data(), 0), samplesAt(values.data(), samples));
    std::vector<std::int16_t> words(2 * samples);
    std::vector<std::int8_t> bytes(2 * samples);
    std::memcpy(words.data(), values.data(), words.size() * sizeof(std::int16_t));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    expectSameBitsAroundThreshold(convertCs8ToCf32, scalarConversionKernels.cs8ToCf32, bytes);
    expectSameBitsAroundThreshold(convertCf32ToCs8, scalarConversionKernels.cf32ToCs8, floats);
    expectSameBitsAroundThreshold(convertSc16ToCf32, scalarConversionKernels.sc16ToCf32, words);
    expectSameBitsAroundThreshold(convertCf32ToSc16, scalarConversionKernels.cf32ToSc16, floats);
}

// Each channel of a two-channel stream converts exactly as one channel does,
// both ways: lengths around the blocks the conversions work in, and past the
// streaming threshold of the received floats.
TEST(SampleConversion, twoChannelConversionsGiveEachChannelTheBitsOfOneChannelsAcrossBlocks)
{
    const std::size_t streamingCount = streamingStoreThreshold() / 16 + 45;
    const std::vector<float> values = randomFloats(2 * streamingCount);
    std::vector<std::int16_t> words(4 * streamingCount);
    std::memcpy(words.data(), values.data(), words.size() * sizeof(std::int16_t));
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1023}, std::size_t{1024},
                                    std::size_t{1025}, std::size_t{4099}, streamingCount}) {
        std::vector<std::complex<float>> received0(count), received1(count);
        convertSc16TwoChannelsToCf32(words.data(), received0.data(), received1.data(), count);
        std::vector<std::complex<float>> sent0(samplesAt(values.data(), 0), samplesAt(values.data(), count));
        std::vector<std::complex<float>> sent1(samplesAt(values.data(), count), samplesAt(values.data(), 2 * count));
        std::vector<std::int16_t> sent(4 * count);
        convertCf32ToSc16TwoChannels(sent0.data(), sent1.data(), sent.data(), count);
        for (std::size_t index = 0; index < count; ++index) {
            std::complex<float> expected[2];
            for (std::size_t channel = 0; channel < 2; ++channel) {
                scalarConversionKernels.sc16ToCf32(words.data() + 4 * index + 2 * channel, &expected[channel], 1);
                std::int16_t one[2];
                scalarConversionKernels.cf32ToSc16(channel == 0 ? &sent0[index] : &sent1[index], one, 1);
                ASSERT_EQ(sent[4 * index + 2 * channel], one[0]) << count << " samples, channel " << channel;
                ASSERT_EQ(sent[4 * index + 2 * channel + 1], one[1]) << count << " samples, channel " << channel;
            }
            ASSERT_EQ(bitsOf(received0[index].real()), bitsOf(expected[0].real())) << count << " samples, " << index;
            ASSERT_EQ(bitsOf(received0[index].imag()), bitsOf(expected[0].imag())) << count << " samples, " << index;
            ASSERT_EQ(bitsOf(received1[index].real()), bitsOf(expected[1].real())) << count << " samples, " << index;
            ASSERT_EQ(bitsOf(received1[index].imag()), bitsOf(expected[1].imag())) << count << " samples, " << index;
        }
    }
}

// The threshold is the output size the cache one core uses can hold: its
// own level 2 cache and at most 16 MiB of the level 3, however much the
// processor reports (a virtual machine reports the whole package's).
TEST(SampleConversion, streamingThresholdCountsOnlyTheLevel3OneCoreReaches)
{
    constexpr std::size_t mebibyte = std::size_t{1} << 20;
    const struct {
        std::size_t level2;
        std::size_t lastLevel;
        std::size_t threshold;
    } caches[] = {
        {2 * mebibyte, 480 * mebibyte, 18 * mebibyte}, // a package's cache, reported to a virtual machine
        {mebibyte, 32 * mebibyte, 17 * mebibyte},      // one core complex
        {mebibyte + mebibyte / 4, 8 * mebibyte, 9 * mebibyte + mebibyte / 4}, // a small desktop's
        {4 * mebibyte, 4 * mebibyte, 4 * mebibyte},                           // no level 3: the last level is level 2
        {0, 32 * mebibyte, 16 * mebibyte},                                    // level 2 not reported
        {0, 0, 16 * mebibyte},                                                // nothing reported
    };
    for (const auto& cache : caches) {
        EXPECT_EQ(streamingOutputThreshold(cache.level2, cache.lastLevel), cache.threshold)
            << cache.level2 << " bytes of level 2, " << cache.lastLevel << " of the last level";
    }
}

} // namespace
} // namespace veltrano::detail
