// SPDX-License-Identifier: MIT
// The four sample conversions, every instruction set this machine runs with
// ordinary and with streaming stores, and the public function (which chooses
// between them by size), beside VOLK's kernel for the same conversion (which
// rounds halves to even and clamps differently, but is the speed people know)
// and beside a memcpy of the output's size, at three sizes: one that stays in
// the level 2 cache, one between it and the last-level cache, and one that
// is out of cache. Random interleaving spreads a shared machine's noise:
//
//   build/bin/sample-conversion-bench --benchmark_min_time=0.2
//       --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
#include "device/SampleConversion.h"
#include "device/conversion/ConversionKernels.h"

#include <benchmark/benchmark.h>
#include <volk/volk.h>

#include <algorithm>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace veltrano::detail {
namespace {

template <typename In, typename Out>
using Kernel = void (*)(const In*, Out*, std::size_t);

// Interleaved integer formats hold two values per complex sample.
template <typename Value>
constexpr std::size_t valuesPerSample = std::is_same_v<Value, std::complex<float>> ? 1 : 2;

// Cache-line aligned, as a client's stream buffers usually are; VOLK then
// takes its aligned variants.
template <typename Value>
struct Buffer {
    explicit Buffer(std::size_t samples)
        : size(samples * valuesPerSample<Value>),
          data(static_cast<Value*>(std::aligned_alloc(64, (size * sizeof(Value) + 63) / 64 * 64)), &std::free)
    {
    }
    std::size_t size;
    std::unique_ptr<Value, decltype(&std::free)> data;
};

// Values as the streams carry them: full-range bytes, Q11 words, and floats
// that now and then exceed the -1..1 the transmitters clamp to.
template <typename Value>
void fillRandom(Buffer<Value>& buffer)
{
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> floats(-1.1F, 1.1F);
    for (std::size_t index = 0; index < buffer.size; ++index) {
        if constexpr (std::is_same_v<Value, std::complex<float>>) {
            buffer.data.get()[index] = {floats(generator), floats(generator)};
        } else {
            const float scale = std::is_same_v<Value, std::int8_t> ? 127.0F : 2047.0F;
            buffer.data.get()[index] = static_cast<Value>(floats(generator) / 1.1F * scale);
        }
    }
}

template <typename In, typename Out>
void runConversion(benchmark::State& state, Kernel<In, Out> kernel)
{
    const auto samples = static_cast<std::size_t>(state.range(0));
    Buffer<In> in(samples);
    Buffer<Out> out(samples);
    fillRandom(in);
    // Every output page mapped before timing: a first write to a fresh page
    // costs far more than the conversion.
    std::fill_n(out.data.get(), out.size, Out{});
    for (auto _ : state) {
        kernel(in.data.get(), out.data.get(), samples);
        benchmark::DoNotOptimize(out.data.get());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * samples));
}

template <typename Value>
void copySamples(const Value* in, Value* out, std::size_t samples)
{
    std::memcpy(out, in, samples * valuesPerSample<Value> * sizeof(Value));
}

// In the level 2 cache (1 MiB of complex floats, a HackRF transfer's worth);
// between it and the last-level cache (a complex-float side four times the
// level 2 cache the processor reports, so in and out together fill it five
// to six times over, yet stay below the threshold for streaming stores
// wherever they move less than 16 MiB and half the last-level cache); and
// out of cache (64 MiB of complex floats, more than the last-level cache one
// core reaches on today's processors).
std::vector<std::int64_t> sampleCounts()
{
    const std::size_t level2 = level2CacheBytes() != 0 ? level2CacheBytes() : 1 << 20;
    const auto between = static_cast<std::int64_t>(4 * level2 / sizeof(std::complex<float>));
    return {131072, between, 8388608};
}

template <typename In, typename Out>
void registerConversion(const std::string& name, Kernel<In, Out> ConversionKernels::*kernel, Kernel<In, Out> volk,
                        Kernel<In, Out> chosen)
{
    for (const std::int64_t samples : sampleCounts()) {
        benchmark::RegisterBenchmark((name + "/memcpy").c_str(), runConversion<Out, Out>, copySamples<Out>)
            ->Arg(samples);
        benchmark::RegisterBenchmark((name + "/volk").c_str(), runConversion<In, Out>, volk)->Arg(samples);
        benchmark::RegisterBenchmark((name + "/chosen").c_str(), runConversion<In, Out>, chosen)->Arg(samples);
        for (const InstructionSet set : {InstructionSet::Scalar, InstructionSet::Sse2, InstructionSet::Avx2,
                                         InstructionSet::Avx512, InstructionSet::Neon}) {
            for (const StorePolicy policy : {StorePolicy::Cached, StorePolicy::Streaming}) {
                if (const ConversionKernels* kernels = conversionKernels(set, policy)) {
                    const std::string suffix = policy == StorePolicy::Streaming ? "-streaming" : "";
                    benchmark::RegisterBenchmark((name + "/" + instructionSetName(set) + suffix).c_str(),
                                                 runConversion<In, Out>, kernels->*kernel)
                        ->Arg(samples);
                }
            }
        }
    }
}

// VOLK counts values, not complex samples, and takes the scale as a divisor
// (to float) or a factor (from float).
void volkCs8ToCf32(const std::int8_t* in, std::complex<float>* out, std::size_t samples)
{
    volk_8i_s32f_convert_32f(reinterpret_cast<float*>(out), in, 128.0F, static_cast<unsigned>(2 * samples));
}

void volkCf32ToCs8(const std::complex<float>* in, std::int8_t* out, std::size_t samples)
{
    volk_32f_s32f_convert_8i(out, reinterpret_cast<const float*>(in), 127.0F, static_cast<unsigned>(2 * samples));
}

void volkSc16ToCf32(const std::int16_t* in, std::complex<float>* out, std::size_t samples)
{
    volk_16i_s32f_convert_32f(reinterpret_cast<float*>(out), in, 2048.0F, static_cast<unsigned>(2 * samples));
}

void volkCf32ToSc16(const std::complex<float>* in, std::int16_t* out, std::size_t samples)
{
    volk_32f_s32f_convert_16i(out, reinterpret_cast<const float*>(in), 2048.0F, static_cast<unsigned>(2 * samples));
}

} // namespace
} // namespace veltrano::detail

int main(int argc, char** argv)
{
    using namespace veltrano::detail;
    registerConversion("Cs8ToCf32", &ConversionKernels::cs8ToCf32, volkCs8ToCf32, convertCs8ToCf32);
    registerConversion("Cf32ToCs8", &ConversionKernels::cf32ToCs8, volkCf32ToCs8, convertCf32ToCs8);
    registerConversion("Sc16ToCf32", &ConversionKernels::sc16ToCf32, volkSc16ToCf32, convertSc16ToCf32);
    registerConversion("Cf32ToSc16", &ConversionKernels::cf32ToSc16, volkCf32ToSc16, convertCf32ToSc16);
    benchmark::AddCustomContext("conversion_kernels_chosen", instructionSetName(activeInstructionSet()));
    benchmark::AddCustomContext("streaming_stores_from_bytes_moved", std::to_string(streamingStoreThreshold()));
    benchmark::AddCustomContext("level2_cache_bytes", std::to_string(level2CacheBytes()));
    benchmark::AddCustomContext("last_level_cache_bytes", std::to_string(lastLevelCacheBytes()));
    benchmark::AddCustomContext("volk_machine", volk_get_machine());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
