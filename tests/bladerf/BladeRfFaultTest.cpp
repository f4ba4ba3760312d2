// SPDX-License-Identifier: MIT
// A bladeRF that vanishes (BLADERF_ERR_NODEV), fails its I/O (BLADERF_ERR_IO)
// or stops answering (time-outs) while a client retunes or stops: every call
// returns and the device still closes. A failed or timed-out read or write is
// the receive and transmit tests', a vanished or silent board under the
// real library the real library's fault tests.
#include "tests/bladerf/BladeRfStreamingFixture.h"
#include "tests/support/Watchdog.h"

#include <gmock/gmock.h>

#include <functional>

namespace veltrano {
namespace {

using ::testing::ElementsAre;

struct Moment {
    const char* name;
    const char* vanishesAt;                     // "<entry point> <call>" of the simulator's unplug rule
    std::function<void(BladeRfSdrDevice&)> run; // the client's calls on the stream, and what it sees
};

const Moment kMoments[] = {
    {"retune", "bladerf_set_frequency 2",
     [](BladeRfSdrDevice& device) {
         std::complex<float> samples[1024];
         ASSERT_EQ(device.readSamples(samples, 1024), 1024u);
         EXPECT_FALSE(device.setRxFrequency(916e6));
         EXPECT_EQ(device.readSamples(samples, 1024), 0u);
         device.stopRx();
     }},
    {"stop", "bladerf_enable_module 2",
     [](BladeRfSdrDevice& device) {
         device.stopRx();
         EXPECT_FALSE(device.startRx());
     }},
};

// Each fault's name and the unplug rule's result for it.
const std::pair<const char*, const char*> kFaults[] = {{"gone", "-7"}, {"ioFailure", "-5"}, {"silent", "timeout"}};

class BladeRfFault : public test::BladeRfStreaming,
                     public ::testing::WithParamInterface<std::tuple<Moment, std::pair<const char*, const char*>>> {};

TEST_P(BladeRfFault, everyCallReturnsAndTheDeviceStillCloses)
{
    const auto& [moment, fault] = GetParam();
    const test::Watchdog watchdog(std::string(moment.name) + "/" + fault.first, std::chrono::seconds(30));
    BladeRfSdrDevice& device =
        receiving(std::string("unplug ") + moment.vanishesAt + " " + fault.second + "\n", "sim-bladerf-no-quick-tune");
    moment.run(device);
    close();
    EXPECT_THAT(bladeRf().calls("bladerf_close"), ElementsAre("bladerf_close"));
}

INSTANTIATE_TEST_SUITE_P(Moments, BladeRfFault,
                         ::testing::Combine(::testing::ValuesIn(kMoments), ::testing::ValuesIn(kFaults)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).first;
                         });

} // namespace
} // namespace veltrano
