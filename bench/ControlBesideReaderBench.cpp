// SPDX-License-Identifier: MIT
// A control call beside a busy reader: a gain change and a receive frequency
// change made from the benchmark's thread while another thread reads back to
// back (2,012 samples a call, as SoapyRemote's server reads, and 131,072),
// beside the same call with nothing reading, in one run. Both families, once
// through the device layer and once through the SoapySDR module, each on its
// simulated library, paced like the board. Each call is timed on its own; the counters
// are the median and the worst call in microseconds, the figures a client's
// AGC loop or scanner feels.
//
//   build/bin/control-beside-reader-bench --benchmark_min_time=0.5
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "device/platform/ProcessEnvironment.h"

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace veltrano {
namespace {

// One board with its receive stream running, reachable through one level.
class Target {
public:
    virtual ~Target() = default;
    // Reads up to count samples; what a busy reader calls in a loop.
    virtual void read(std::complex<float>* samples, std::size_t count) = 0;
    virtual bool setGain(double gainDb) = 0;
    virtual bool setFrequency(double frequencyHz) = 0;
};

class DeviceLayerTarget final : public Target {
public:
    explicit DeviceLayerTarget(std::unique_ptr<ISdrDevice> device) : device_(std::move(device))
    {
        if (!device_->configureRx(StreamConfig{915e6, 10e6, 0.0, 20.0}) || !device_->startRx()) {
            std::abort();
        }
    }
    ~DeviceLayerTarget() override { device_->stopRx(); }
    void read(std::complex<float>* samples, std::size_t count) override { device_->readSamples(samples, count); }
    bool setGain(double gainDb) override { return device_->setGain(StreamDirection::rx, gainDb); }
    bool setFrequency(double frequencyHz) override { return device_->setRxFrequency(frequencyHz); }

private:
    std::unique_ptr<ISdrDevice> device_;
};

class ModuleTarget final : public Target {
public:
    explicit ModuleTarget(const char* family)
        : device_(SoapySDR::Device::make(std::string("driver=veltrano,family=") + family))
    {
        device_->setSampleRate(SOAPY_SDR_RX, 0, 10e6);
        device_->setFrequency(SOAPY_SDR_RX, 0, 915e6);
        stream_ = device_->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32);
        if (device_->activateStream(stream_) != 0) {
            std::abort();
        }
    }
    ~ModuleTarget() override
    {
        device_->closeStream(stream_);
        SoapySDR::Device::unmake(device_);
    }
    void read(std::complex<float>* samples, std::size_t count) override
    {
        void* buffers[] = {samples};
        int flags = 0;
        long long timeNs = 0;
        device_->readStream(stream_, buffers, count, flags, timeNs, 100'000);
    }
    bool setGain(double gainDb) override
    {
        device_->setGain(SOAPY_SDR_RX, 0, gainDb);
        return true; // the module throws where it refuses
    }
    bool setFrequency(double frequencyHz) override
    {
        device_->setFrequency(SOAPY_SDR_RX, 0, frequencyHz);
        return true;
    }

private:
    SoapySDR::Device* device_;
    SoapySDR::Stream* stream_ = nullptr;
};

std::unique_ptr<Target> makeTarget(const std::string& family, bool module)
{
    if (module) {
        return std::make_unique<ModuleTarget>(family.c_str());
    }
    if (family == "hackrf") {
        return std::make_unique<DeviceLayerTarget>(std::make_unique<HackRfSdrDevice>("HBENCH"));
    }
    return std::make_unique<DeviceLayerTarget>(std::make_unique<BladeRfSdrDevice>("A"));
}

enum class Control { gain, frequency };

// Times each control call with `readSize` samples a call read beside it (0: no reader).
void controlCall(benchmark::State& state, const std::string& family, bool module, Control control, std::size_t readSize)
{
    const std::unique_ptr<Target> target = makeTarget(family, module);
    std::atomic<std::uint64_t> reads{0};
    std::jthread reader;
    if (readSize != 0) {
        reader = std::jthread([&](std::stop_token stop) {
            std::vector<std::complex<float>> samples(readSize);
            while (!stop.stop_requested()) {
                target->read(samples.data(), samples.size());
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
        while (reads.load() < 2) { // the reader is under way
            std::this_thread::yield();
        }
    }
    std::vector<double> microseconds;
    microseconds.reserve(1 << 16);
    bool high = false;
    for (auto _ : state) {
        high = !high;
        const auto start = std::chrono::steady_clock::now();
        const bool taken =
            control == Control::gain ? target->setGain(high ? 30.0 : 20.0) : target->setFrequency(high ? 916e6 : 915e6);
        const auto end = std::chrono::steady_clock::now();
        if (!taken) {
            state.SkipWithError("the board refused the change");
            break;
        }
        if (microseconds.size() < microseconds.capacity()) {
            microseconds.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    const std::uint64_t readsDuring = reads.load();
    reader = {};
    if (microseconds.empty()) {
        return;
    }
    std::sort(microseconds.begin(), microseconds.end());
    state.counters["median_us"] = microseconds[microseconds.size() / 2];
    state.counters["worst_us"] = microseconds.back();
    state.counters["reads"] = static_cast<double>(readsDuring);
}

void registerAll()
{
    for (const char* family : {"hackrf", "bladerf"}) {
        for (const bool module : {false, true}) {
            for (const auto& [control, controlName] :
                 {std::pair{Control::gain, "gain"}, std::pair{Control::frequency, "frequency"}}) {
                for (const std::size_t readSize : {std::size_t{0}, std::size_t{2012}, std::size_t{131072}}) {
                    const std::string name = std::string(family) + (module ? "/module/" : "/device/") + controlName +
                                             (readSize == 0 ? "/idle" : "/reader_" + std::to_string(readSize));
                    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
                        controlCall(state, family, module, control, readSize);
                    })->UseRealTime();
                }
            }
        }
    }
}

} // namespace
} // namespace veltrano

int main(int argc, char** argv)
{
    const auto directory = veltrano::platform::executableDirectory();
    if (!directory) {
        return 1;
    }
    const std::string id = std::to_string(::getpid());
    const auto hackRfScript = std::filesystem::temp_directory_path() / ("veltrano-control-hackrf-" + id + ".txt");
    const auto bladeRfScript = std::filesystem::temp_directory_path() / ("veltrano-control-bladerf-" + id + ".txt");
    // Boards that deliver at their sample rate, as real ones do: a reader
    // then spends its time waiting inside the board read.
    std::ofstream(hackRfScript) << "board HBENCH\nrx-paced\n";
    std::ofstream(bladeRfScript) << "board serial=A\nrx-paced\nrx-pattern off\n";
    ::setenv("BROMELT_HACKRF_LIBRARY", (*directory / "sim" / "sim-hackrf.so").c_str(), 1);
    ::setenv("BROMELT_BLADERF_LIBRARY", (*directory / "sim" / "sim-bladerf.so").c_str(), 1);
    ::setenv("VELTRANO_SIM_HACKRF_SCRIPT", hackRfScript.c_str(), 1);
    ::setenv("VELTRANO_SIM_BLADERF_SCRIPT", bladeRfScript.c_str(), 1);
    ::unsetenv("VELTRANO_SIM_HACKRF_JOURNAL");
    ::unsetenv("VELTRANO_SIM_BLADERF_JOURNAL");
    // Only the module in the build tree, not one installed on the machine.
    ::setenv("SOAPY_SDR_PLUGIN_PATH", VELTRANO_SOAPY_MODULE_DIRECTORY, 1);
    ::setenv("SOAPY_SDR_ROOT", VELTRANO_SOAPY_MODULE_DIRECTORY "/no-installed-modules", 1);
    SoapySDR::setLogLevel(SOAPY_SDR_WARNING);
    veltrano::registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(hackRfScript);
    std::filesystem::remove(bladeRfScript);
    return 0;
}
