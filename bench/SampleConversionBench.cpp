// SPDX-License-Identifier: MIT
// The four sample conversions, every instruction set this machine runs with
// ordinary and with streaming stores, and the public function (which chooses
// between them by the output's size), beside VOLK's kernel for the same
// conversion (which rounds halves to even and clamps differently, but is the
// speed people know) and beside a memcpy of the output's size, at 131,072,
// 524,288 and 8 Mi samples, each with the destination cold and hot:
//
//   cold  every output line is flushed from the caches before each call, as
//         for a buffer the program has not touched for a while;
//   hot   another loop writes the whole output just before each call, as
//         when a program reuses the buffer its consumer has just read.
//
// Only the conversion is timed, in the thread's processor time, so that
// time the thread waits for a processor on a shared machine does not count.
// Random interleaving spreads the rest of the noise; take the median of the
// repetitions:
//
//   build/bin/sample-conversion-bench --benchmark_min_time=0.05
//       --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
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

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

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

enum class Destination { Cold, Hot };

// Writes every byte of the buffer back to memory and drops it from every
// cache level.
void evictFromCaches(const void* data, std::size_t bytes)
{
    const auto* bytesOf = static_cast<const char*>(data);
    for (std::size_t offset = 0; offset < bytes; offset += 64) {
#if defined(__x86_64__)
        _mm_clflush(bytesOf + offset);
#elif defined(__aarch64__)
        __asm__ volatile("dc civac, %0" : : "r"(bytesOf + offset) : "memory");
#endif
    }
#if defined(__x86_64__)
    _mm_mfence();
#elif defined(__aarch64__)
    __asm__ volatile("dsb sy" : : : "memory");
#endif
}

template <typename In, typename Out>
void runConversion(benchmark::State& state, Kernel<In, Out> kernel, Destination destination)
{
    const auto samples = static_cast<std::size_t>(state.range(0));
    Buffer<In> in(samples);
    Buffer<Out> out(samples);
    fillRandom(in);
    // Every output page mapped before timing: a first write to a fresh page
    // costs far more than the conversion.
    std::fill_n(out.data.get(), out.size, Out{});
    for (auto _ : state) {
        state.PauseTiming();
        if (destination == Destination::Hot) {
            std::memset(static_cast<void*>(out.data.get()), 0, out.size * sizeof(Out));
        } else {
            evictFromCaches(out.data.get(), out.size * sizeof(Out));
        }
        benchmark::ClobberMemory();
        state.ResumeTiming();
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

// Outputs of 256 KiB to 1 MiB, of 1 to 4 MiB and of 16 to 64 MiB: the first
// two fit in the cache one core uses, hot or not, the last straddles it.
constexpr std::int64_t sampleCounts[] = {131072, 524288, 8388608};

template <typename In, typename Out>
void registerConversion(const std::string& name, Kernel<In, Out> ConversionKernels::*kernel, Kernel<In, Out> volk,
                        Kernel<In, Out> chosen)
{
    const auto add = [&](const std::string& row, auto run, auto function, Destination destination,
                         std::int64_t samples) {
        const std::string where = destination == Destination::Hot ? "/hot/" : "/cold/";
        benchmark::RegisterBenchmark((name + where + row).c_str(), run, function, destination)->Arg(samples);
    };
    for (const std::int64_t samples : sampleCounts) {
        for (const Destination destination : {Destination::Cold, Destination::Hot}) {
            add("memcpy", runConversion<Out, Out>, copySamples<Out>, destination, samples);
            add("volk", runConversion<In, Out>, volk, destination, samples);
            add("chosen", runConversion<In, Out>, chosen, destination, samples);
            for (const InstructionSet set :
                 {InstructionSet::Scalar, InstructionSet::Sse2, InstructionSet::Avx2, InstructionSet::Avx512,
                                                   InstructionSet::Neon}) {
                for (const StorePolicy policy : {StorePolicy::Cached, StorePolicy::Streaming}) {
                    if (const ConversionKernels* kernels = conversionKernels(set, policy)) {
                        const std::string suffix = policy == StorePolicy::Streaming ? "-streaming" : "";
                        add(instructionSetName(set) + suffix, runConversion<In, Out>, kernels->*kernel, destination,
                            samples);
                    }
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
    benchmark::AddCustomContext("streaming_stores_from_output_bytes", std::to_string(streamingStoreThreshold()));
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
