// SPDX-License-Identifier: MIT
// Debian's real libbladeRF on the bus that holds two bladeRFs, an x40 and a
// 2.0 micro: both open by serial and stream at once, and each delivers the
// very samples the simulated libbladeRF delivers for a board of its kind.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/ThroughInterface.h"

#include <dlfcn.h>
#include <libbladeRF.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using test::RealLibBladeRf;
using test::timestampOf;

constexpr const char* kMicroSerial = "d4e1b09c6a2f4753b8e0c91f27a6d3e8";

// One board of the bus, and the simulated library's board of the same kind.
struct Kind {
    const char* name;
    const char* serial;
    const char* simulatedModel; // the script's board model
    double rateHz;
    std::size_t samples; // whole 16384-sample library buffers
};

void PrintTo(const Kind& kind, std::ostream* out)
{
    *out << kind.name;
}

const Kind kKinds[] = {
    {"x40", test::kEmulatedBladeRfSerial, "bladerf1", 2e6, 4 * 16384},
    {"micro", kMicroSerial, "bladerf2", 4e6, 6 * 16384},
};

// The timestamps of a run of native samples, one per sample.
std::vector<std::uint64_t> timestampsOf(const std::vector<std::int16_t>& values)
{
    std::vector<std::uint64_t> timestamps(values.size() / 2);
    for (std::size_t k = 0; k < timestamps.size(); ++k) {
        timestamps[k] = timestampOf(&values[2 * k]);
    }
    return timestamps;
}

// A stream of count native samples from the board of this serial, through the
// device layer on the real library.
std::vector<std::int16_t> streamThroughRealLibrary(BladeRfSdrDevice& device, const Kind& kind)
{
    std::vector<std::int16_t> values(2 * kind.samples);
    EXPECT_TRUE(device.configureRx({915e6, kind.rateHz, 0.0, 20.0})) << device.lastError();
    EXPECT_TRUE(device.startRx()) << device.lastError();
    values.resize(2 * device.readNativeSamples(values.data(), kind.samples));
    device.stopRx();
    return values;
}

// The simulated libbladeRF, loaded by path beside the real one (each keeps
// its own symbols), driven through the vendor's C entry points.
class SimulatedLibrary {
public:
    SimulatedLibrary() : handle_(dlopen(test::simulatedLibrary("sim-bladerf").c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~SimulatedLibrary()
    {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    SimulatedLibrary(const SimulatedLibrary&) = delete;
    SimulatedLibrary& operator=(const SimulatedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }

    // count samples of a board of this kind from device timestamp `first`
    // on, at its rate, in the timestamped format the device layer uses.
    std::vector<std::int16_t> stream(const Kind& kind, std::uint64_t first, std::size_t count)
    {
        const test::SimulatorSession session("BLADERF", std::string("board serial=") + kind.serial +
                                                            " model=" + kind.simulatedModel + "\n");
        entry<void (*)()>("veltrano_sim_bladerf_reload_script")();
        bladerf* device = nullptr;
        const std::string identifier = std::string("*:serial=") + kind.serial;
        std::vector<std::int16_t> values(2 * count);
        bladerf_metadata metadata{};
        metadata.timestamp = first;
        EXPECT_EQ(entry<decltype(&bladerf_open)>("bladerf_open")(&device, identifier.c_str()), 0);
        EXPECT_EQ(entry<decltype(&bladerf_set_sample_rate)>("bladerf_set_sample_rate")(
                      device, BLADERF_CHANNEL_RX(0), static_cast<bladerf_sample_rate>(kind.rateHz), nullptr),
                  0);
        EXPECT_EQ(entry<decltype(&bladerf_sync_config)>("bladerf_sync_config")(
                      device, BLADERF_RX_X1, BLADERF_FORMAT_SC16_Q11_META, 16, 16384, 8, 1000),
                  0);
        EXPECT_EQ(entry<decltype(&bladerf_enable_module)>("bladerf_enable_module")(device, BLADERF_CHANNEL_RX(0), true),
                  0);
        EXPECT_EQ(entry<decltype(&bladerf_sync_rx)>("bladerf_sync_rx")(device, values.data(),
                                                                       static_cast<unsigned>(count), &metadata, 1000),
                  0);
        EXPECT_EQ(metadata.actual_count, count);
        entry<decltype(&bladerf_close)>("bladerf_close")(device);
        return values;
    }

private:
    template <typename Function>
    Function entry(const char* name)
    {
        void* address = dlsym(handle_, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<Function>(address);
    }

    void* handle_;
};

class TwoBladeRfs : public RealLibBladeRf {};

// Both kinds at once, each opened by its serial: each stream is the pattern
// whole (none lost, repeated or reordered) and comes from its own board.
TEST_F(TwoBladeRfs, bothOpenBySerialAndStreamAtOnceEachFromItsOwnBoard)
{
    BladeRfSdrDevice x40(kKinds[0].serial);
    BladeRfSdrDevice micro(kKinds[1].serial);
    BladeRfSdrDevice* devices[] = {&x40, &micro};
    for (std::size_t k = 0; k < 2; ++k) {
        ASSERT_TRUE(devices[k]->configureRx({915e6, kKinds[k].rateHz, 0.0, 20.0})) << devices[k]->lastError();
        ASSERT_TRUE(devices[k]->startRx()) << devices[k]->lastError();
    }
    for (std::size_t k = 0; k < 2; ++k) {
        // A read may end early when its time-out passes first (a slow, busy
        // machine): keep reading until the whole stretch is in.
        std::vector<std::int16_t> values(2 * kKinds[k].samples);
        std::size_t got = 0;
        for (int read = 0; read < 100 && got < kKinds[k].samples; ++read) {
            got += devices[k]->readNativeSamples(values.data() + 2 * got, kKinds[k].samples - got);
        }
        ASSERT_EQ(got, kKinds[k].samples) << kKinds[k].name << ": " << devices[k]->lastError();
        // Each board's own pattern, in order and never repeated. Both boards
        // run in real time while one is read after the other, so a busy
        // machine may leave a gap; a gap must then have been counted.
        const std::vector<std::uint64_t> times = timestampsOf(values);
        EXPECT_TRUE(std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()) == times.end())
            << kKinds[k].name;
        if (!test::contiguous(times)) {
            EXPECT_GT(test::lossesOf(*devices[k]).rxLostSamples, 0u) << kKinds[k].name;
        }
        EXPECT_GE(veltrano_usb_bladerf_rx_samples_delivered(kKinds[k].serial), kKinds[k].samples) << kKinds[k].name;
    }
    for (BladeRfSdrDevice* device : devices) {
        device->stopRx();
    }
    EXPECT_EQ(veltrano_usb_bladerf_rx_samples_delivered("no such serial"), 0u);
}

class BothLevels : public RealLibBladeRf, public ::testing::WithParamInterface<Kind> {};

// The same board settings through both levels: the samples the real library
// delivers from the emulated board, compared whole with those the simulated
// library delivers from the same device timestamp on.
TEST_P(BothLevels, deliverTheSameSamplesForTheSameBoard)
{
    const Kind& kind = GetParam();
    SimulatedLibrary simulated;
    ASSERT_TRUE(simulated.loaded()) << dlerror();
    BladeRfSdrDevice device(kind.serial);
    const std::vector<std::int16_t> real = streamThroughRealLibrary(device, kind);
    ASSERT_EQ(real.size(), 2 * kind.samples) << device.lastError();
    const std::vector<std::int16_t> fromSimulator = simulated.stream(kind, timestampOf(real.data()), kind.samples);
    EXPECT_TRUE(real == fromSimulator) << kind.name;
}

INSTANTIATE_TEST_SUITE_P(EachKind, BothLevels, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
