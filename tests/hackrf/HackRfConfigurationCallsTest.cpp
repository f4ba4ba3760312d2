// SPDX-License-Identifier: MIT
// Every library call a configuration makes, compared whole with the
// simulated libhackrf's journal: nothing added, nothing left out, in order,
// with the step text a failing call leaves.
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <functional>

namespace veltrano {
namespace {

using ::testing::ElementsAreArray;

constexpr auto rx = StreamDirection::rx;
constexpr auto tx = StreamDirection::tx;

struct ConfigurationCalls {
    const char* name;
    const char* script;
    std::function<bool(ISdrDevice&)> before; // a caller's earlier choice, its calls not compared
    std::function<bool(ISdrDevice&)> configure;
    bool configured;
    const char* error;
    std::vector<std::string> calls;
};

class HackRfConfigurationCalls : public test::HackRfStreamTest,
                                 public ::testing::WithParamInterface<ConfigurationCalls> {};

TEST_P(HackRfConfigurationCalls, makeExactlyTheirCallsInOrder)
{
    const ConfigurationCalls& row = GetParam();
    openBoard(std::string("usb-api 0x0106\n") + row.script);
    ASSERT_TRUE(row.before(device())) << device().lastError();
    const std::size_t first = hackRf().journal().size();
    EXPECT_EQ(row.configure(device()), row.configured);
    EXPECT_EQ(device().lastError(), row.error);
    EXPECT_THAT(journalFrom(first), ElementsAreArray(row.calls));
}

const auto nothingBefore = [](ISdrDevice&) { return true; };
// The receive configuration's bandwidth is never sent: the library sets its
// own filter with the rate.
const auto receive = [](ISdrDevice& d) { return d.configureRx({100'000'000.5, 2e6, 8e6, 20.0}); };
const auto transmit = [](ISdrDevice& d) { return d.configureTx({433'920'000.5, 10e6, 25e6, 20.0}); };
const std::vector<std::string> receiveCalls = {
    "hackrf_set_sample_rate 2000000 -> 0", "hackrf_set_rx_overrun_limit 0 -> 0", "hackrf_set_freq 100000001 -> 0",
    "hackrf_set_lna_gain 16 -> 0",         "hackrf_set_vga_gain 4 -> 0",         "hackrf_set_amp_enable 0 -> 0"};
// A filter wider than the sample rate asks for the sample rate's width.
const std::vector<std::string> transmitCallsBeforeAmplifier = {
    "hackrf_compute_baseband_filter_bw 10000000 -> 10000000", "hackrf_set_sample_rate 10000000 -> 0",
    "hackrf_set_baseband_filter_bandwidth 10000000 -> 0", "hackrf_set_freq 433920001 -> 0",
    "hackrf_set_txvga_gain 20 -> 0"};

std::vector<std::string> joined(std::vector<std::string> lines, const std::vector<std::string>& more)
{
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, HackRfConfigurationCalls,
    ::testing::Values(
        ConfigurationCalls{"receive", "", nothingBefore, receive, true, "", receiveCalls},
        // The failing step, the board closed and opened again, then every step once more.
        ConfigurationCalls{
            "receiveReopenedAndRetried", "fail hackrf_set_vga_gain -1000 1\n", nothingBefore, receive, true, "",
            joined({"hackrf_set_sample_rate 2000000 -> 0", "hackrf_set_rx_overrun_limit 0 -> 0",
                    "hackrf_set_freq 100000001 -> 0", "hackrf_set_lna_gain 16 -> 0", "hackrf_set_vga_gain 4 -> -1000",
                    "hackrf_error_name -1000", "hackrf_close -> 0", "hackrf_open_by_serial A -> 0",
                    "hackrf_version_string_read 255 -> 0", "hackrf_usb_api_version_read -> 0"},
                   receiveCalls)},
        // The board gone at a call: that call fails, so does every later one
        // with a scripted result, and no open finds the board again.
        ConfigurationCalls{
            "receiveUnpluggedAtACall", "unplug at hackrf_set_lna_gain 1 -1000\n", nothingBefore, receive, false,
            "set LNA gain: HACKRF_ERROR_LIBUSB; device close/reopen failed (close: HACKRF_SUCCESS) (open: "
            "HACKRF_ERROR_NOT_FOUND)",
            joined({"hackrf_set_sample_rate 2000000 -> 0", "hackrf_set_rx_overrun_limit 0 -> 0",
                    "hackrf_set_freq 100000001 -> 0", "hackrf_set_lna_gain 16 -> -1000", "hackrf_error_name -1000",
                    "hackrf_close -> 0"},
                   joined(std::vector<std::string>(12, "hackrf_open_by_serial A -> -5"),
                          {"hackrf_error_name -5", "hackrf_error_name 0"}))},
        // A filter the caller chose goes back on after the rate, which reset it.
        ConfigurationCalls{
            "receiveWithAChosenFilter", "", [](ISdrDevice& d) { return d.setBandwidth(rx, 5e6); }, receive, true, "",
            joined({"hackrf_set_sample_rate 2000000 -> 0", "hackrf_set_baseband_filter_bandwidth 5000000 -> 0"},
                   {receiveCalls.begin() + 1, receiveCalls.end()})},
        ConfigurationCalls{"transmit", "", nothingBefore, transmit, true, "",
                           joined(transmitCallsBeforeAmplifier, {"hackrf_set_amp_enable 0 -> 0"})},
        ConfigurationCalls{
            "transmitAmplifierRefused", "fail hackrf_set_amp_enable -1000\n", nothingBefore, transmit, false,
            "disable TX RF amplifier: HACKRF_ERROR_LIBUSB",
            joined(transmitCallsBeforeAmplifier, {"hackrf_set_amp_enable 0 -> -1000", "hackrf_error_name -1000"})},
        ConfigurationCalls{"transmitWithTheAmplifierSwitchedOn", "",
                           [](ISdrDevice& d) { return d.setGainStage(tx, "AMP", 14); }, transmit, true, "",
                           joined(transmitCallsBeforeAmplifier, {"hackrf_set_amp_enable 1 -> 0"})},
        // The transmit filter, always the caller's, goes back on after a live rate change.
        ConfigurationCalls{
            "liveTransmitRate",
            "",
            transmit,
            [](ISdrDevice& d) { return d.setSampleRate(tx, 4e6); },
            true,
            "",
            {"hackrf_set_sample_rate 4000000 -> 0", "hackrf_set_baseband_filter_bandwidth 10000000 -> 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
