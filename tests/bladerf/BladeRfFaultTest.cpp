// SPDX-License-Identifier: MIT
// A bladeRF that vanishes (BLADERF_ERR_NODEV), fails its I/O (BLADERF_ERR_IO)
// or stops answering (time-outs) at each moment a client can meet it: every
// call returns, a read keeps the samples it already had, a write reports what
// was taken, the reason is in lastError, and the device still closes.
#include "tests/bladerf/BladeRfStreamingFixture.h"
#include "tests/support/Watchdog.h"

#include <gmock/gmock.h>

#include <functional>

namespace veltrano {
namespace {

using ::testing::ElementsAre;

struct Moment {
    const char* name;
    const char* vanishesAt; // "<entry point> <call>" of the simulator's unplug rule
    // The client's calls and what it sees; reason is the expected lastError
    // of a failed stream ("" for a time-out, which only says nothing came).
    std::function<void(BladeRfSdrDevice&, const std::string& reason)> run;
};

struct Fault {
    const char* name;
    const char* result; // the unplug rule's result
    const char* text;   // the library's text for it
};

const StreamConfig kRx{915e6, 2e6, 0.0, 20.0};
const StreamConfig kTx{915e6, 2e6, 0.0, 10.0};

std::size_t read(BladeRfSdrDevice& device, std::vector<std::complex<float>>& samples)
{
    return device.readSamples(samples.data(), samples.size());
}

const Moment kMoments[] = {
    {"receive", "bladerf_sync_rx 3",
     [](BladeRfSdrDevice& device, const std::string& reason) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         // Chunks of 16384: the third read fails, the first two are kept.
         EXPECT_EQ(test::timestampsRead(device, false, 40000), test::timestampsFrom(0, 32768));
         std::vector<std::complex<float>> samples(40000);
         EXPECT_EQ(read(device, samples), 0u);
         EXPECT_EQ(device.lastError(), reason.empty() ? "" : "RX stream stopped: " + reason);
         device.stopRx();
         EXPECT_EQ(read(device, samples), 0u);
     }},
    {"retune", "bladerf_set_frequency 2",
     [](BladeRfSdrDevice& device, const std::string&) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         std::vector<std::complex<float>> samples(1024);
         ASSERT_EQ(read(device, samples), 1024u);
         EXPECT_FALSE(device.setRxFrequency(916e6));
         EXPECT_EQ(read(device, samples), 0u);
         device.stopRx();
     }},
    {"transmit", "bladerf_sync_tx 2",
     [](BladeRfSdrDevice& device, const std::string& reason) {
         ASSERT_TRUE(device.configureTx(kTx) && device.startTx());
         const std::vector<std::complex<float>> samples(100'000, {0.5F, -0.5F});
         EXPECT_EQ(device.writeSamples(samples.data(), samples.size()), 65536u);
         EXPECT_EQ(device.writeSamples(samples.data(), 1000), 0u);
         EXPECT_EQ(device.lastError(), reason.empty() ? "" : "TX stream stopped: " + reason);
         device.stopTx();
         EXPECT_EQ(device.writeSamples(samples.data(), 1000), 0u);
     }},
    {"stop", "bladerf_enable_module 2",
     [](BladeRfSdrDevice& device, const std::string&) {
         ASSERT_TRUE(device.configureRx(kRx) && device.startRx());
         device.stopRx();
         EXPECT_FALSE(device.startRx());
     }},
};

const Fault kFaults[] = {
    {"gone", "-7", "No devices available"},
    {"ioFailure", "-5", "File or device I/O failure"},
    {"silent", "timeout", ""},
};

class BladeRfFault : public test::BladeRfStreaming, public ::testing::WithParamInterface<std::tuple<Moment, Fault>> {};

TEST_P(BladeRfFault, everyCallReturnsAndTheDeviceStillCloses)
{
    const auto& [moment, fault] = GetParam();
    const test::Watchdog watchdog(std::string(moment.name) + "/" + fault.name, std::chrono::seconds(30));
    BladeRfSdrDevice& device =
        open(std::string("unplug ") + moment.vanishesAt + " " + fault.result + "\n", "sim-bladerf-no-quick-tune");
    moment.run(device, fault.text);
    close();
    EXPECT_THAT(bladeRf().calls("bladerf_close"), ElementsAre("bladerf_close"));
}

INSTANTIATE_TEST_SUITE_P(Moments, BladeRfFault,
                         ::testing::Combine(::testing::ValuesIn(kMoments), ::testing::ValuesIn(kFaults)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

} // namespace
} // namespace veltrano
