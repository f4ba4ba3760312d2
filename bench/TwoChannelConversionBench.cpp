// SPDX-License-Identifier: MIT
// Two channels of a bladeRF 2.0 stream, I0 Q0 I1 Q1 for each sample time,
// split into one complex-float buffer per channel (receive) and the other
// way (transmit): veltrano's conversion beside what a libbladeRF program
// does today (the library's own bladerf_deinterleave_stream_buffer, then
// VOLK's conversion of each channel; for transmit VOLK, then
// bladerf_interleave_stream_buffer) and beside a memcpy of the float side's
// bytes, in one run. libbladeRF rearranges in place and VOLK rounds and
// clamps differently from veltrano; the figures compare speed only. The
// buffers are reused (hot), as a reader's are; at 16,384 samples per channel
// (a libbladeRF buffer's worth) and at 524,288.
//
//   build/bin/two-channel-conversion-bench --benchmark_repetitions=7
//       --benchmark_enable_random_interleaving=true
#include "device/SampleConversion.h"

#include <benchmark/benchmark.h>
#include <libbladeRF.h>
#include <volk/volk.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

using veltrano::detail::convertCf32ToSc16TwoChannels;
using veltrano::detail::convertSc16TwoChannelsToCf32;

struct Buffers {
    explicit Buffers(std::size_t samples)
        : words(4 * samples), channel0(samples), channel1(samples), floats(2 * samples)
    {
        std::mt19937 generator(20261208);
        std::uniform_int_distribution<int> q11(-2048, 2047);
        std::uniform_real_distribution<float> nearRange(-1.01F, 1.01F);
        for (auto& word : words) {
            word = static_cast<std::int16_t>(q11(generator));
        }
        for (std::size_t index = 0; index < samples; ++index) {
            channel0[index] = {nearRange(generator), nearRange(generator)};
            channel1[index] = {nearRange(generator), nearRange(generator)};
        }
    }
    std::vector<std::int16_t> words;
    std::vector<std::complex<float>> channel0;
    std::vector<std::complex<float>> channel1;
    std::vector<std::complex<float>> floats; // both channels' worth, for memcpy
};

template <typename Run>
void measure(benchmark::State& state, Run run)
{
    const auto samples = static_cast<std::size_t>(state.range(0));
    Buffers buffers(samples);
    for (auto _ : state) {
        run(buffers, samples);
        benchmark::DoNotOptimize(buffers.words.data());
        benchmark::DoNotOptimize(buffers.channel0.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * samples));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples * 2 * sizeof(std::complex<float>)));
}

void receiveMemcpy(benchmark::State& state)
{
    measure(state, [](Buffers& b, std::size_t samples) {
        std::memcpy(b.floats.data(), b.channel0.data(), samples * sizeof(std::complex<float>));
        std::memcpy(b.floats.data() + samples, b.channel1.data(), samples * sizeof(std::complex<float>));
    });
}

void receiveVeltrano(benchmark::State& state)
{
    measure(state, [](Buffers& b, std::size_t samples) {
        convertSc16TwoChannelsToCf32(b.words.data(), b.channel0.data(), b.channel1.data(), samples);
    });
}

void receiveLibBladeRfAndVolk(benchmark::State& state)
{
    measure(state, [](Buffers& b, std::size_t samples) {
        bladerf_deinterleave_stream_buffer(BLADERF_RX_X2, BLADERF_FORMAT_SC16_Q11, static_cast<unsigned>(2 * samples),
                                           b.words.data());
        volk_16i_s32f_convert_32f(reinterpret_cast<float*>(b.channel0.data()), b.words.data(), 2048.0F,
                                  static_cast<unsigned>(2 * samples));
        volk_16i_s32f_convert_32f(reinterpret_cast<float*>(b.channel1.data()), b.words.data() + 2 * samples, 2048.0F,
                                  static_cast<unsigned>(2 * samples));
    });
}

void transmitVeltrano(benchmark::State& state)
{
    measure(state, [](Buffers& b, std::size_t samples) {
        convertCf32ToSc16TwoChannels(b.channel0.data(), b.channel1.data(), b.words.data(), samples);
    });
}

void transmitVolkAndLibBladeRf(benchmark::State& state)
{
    measure(state, [](Buffers& b, std::size_t samples) {
        volk_32f_s32f_convert_16i(b.words.data(), reinterpret_cast<const float*>(b.channel0.data()), 2048.0F,
                                  static_cast<unsigned>(2 * samples));
        volk_32f_s32f_convert_16i(b.words.data() + 2 * samples, reinterpret_cast<const float*>(b.channel1.data()),
                                  2048.0F, static_cast<unsigned>(2 * samples));
        bladerf_interleave_stream_buffer(BLADERF_TX_X2, BLADERF_FORMAT_SC16_Q11, static_cast<unsigned>(2 * samples),
                                         b.words.data());
    });
}

} // namespace

BENCHMARK(receiveMemcpy)->Arg(16384)->Arg(524288);
BENCHMARK(receiveVeltrano)->Arg(16384)->Arg(524288);
BENCHMARK(receiveLibBladeRfAndVolk)->Arg(16384)->Arg(524288);
BENCHMARK(transmitVeltrano)->Arg(16384)->Arg(524288);
BENCHMARK(transmitVolkAndLibBladeRf)->Arg(16384)->Arg(524288);

BENCHMARK_MAIN();
