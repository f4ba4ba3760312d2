// SPDX-License-Identifier: MIT
// The vendors' own command-line tools (Debian's `hackrf` and `bladerf`), run
// as their users run them, on the emulated bus that holds a HackRF One and a
// bladeRF x40, and bladeRF-cli on the emulated bladeRF 2.0 micro: each tool's
// library finds the emulator first on the library path.
#include "tests/reallib/RealLibBladeRf.h"
#include "tests/reallib/RealLibHackRf.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;

const std::filesystem::path kToolDirectory = "/usr/bin";

// Never zero, so the board's record shows where the file ends and the
// libraries' zero padding begins.
std::string transmitFile(std::size_t bytes)
{
    std::string file(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i) {
        file[i] = static_cast<char>(1 + i % 251);
    }
    return file;
}

// The command that runs a tool (the shell as it is). In a sanitizer build the
// emulator is instrumented and the tools are not: the sanitizer's runtime has
// to be loaded ahead of everything else, in the tool alone (the shell and
// coreutils do not all survive it).
std::vector<std::string> toolCommand(const std::string& tool)
{
    if (tool == "sh") {
        return {"/bin/sh"};
    }
    std::vector<std::string> command;
#ifdef VELTRANO_SANITIZER_RUNTIME
    command = {"/usr/bin/env", "LD_PRELOAD=" VELTRANO_SANITIZER_RUNTIME};
#endif
#ifdef VELTRANO_SANITIZER_TOOL_OPTIONS
    command.push_back(VELTRANO_SANITIZER_TOOL_OPTIONS);
#endif
    command.push_back((kToolDirectory / tool).string());
    return command;
}

// A shell command that types bladeRF-cli's commands for a 2 Msps stream in
// `direction` at it: the set-up once its stream tasks are idle, the start a
// second later, and quit 300 ms into the stream.
std::vector<std::string> interactively(const std::string& direction, const std::string& config)
{
    std::string command = "(sleep 1; printf 'set samplerate " + direction + " 2M\\n" + direction + " config " + config +
                          "\\n'; sleep 1; printf '" + direction + " start\\n'; sleep 0.3; printf 'quit\\n') |";
    for (const std::string& word : toolCommand("bladeRF-cli")) {
        command += " " + word;
    }
    return {"sh", "-c", command + " -i"};
}

class VendorTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kToolDirectory / "hackrf_info") ||
            !std::filesystem::exists(kToolDirectory / "bladeRF-cli")) {
            GTEST_SKIP() << "Debian's hackrf or bladerf tools are not installed";
        }
    }

    test::TemporaryDirectory scratch_;

private:
    test::ScopedEnvironment bus_{"LD_LIBRARY_PATH", VELTRANO_USB_BOTH_DIRECTORY};
    // No configuration or calibration file of the machine's may change what libbladeRF does.
    test::ScopedEnvironment home_{"HOME", test::environmentText(scratch_.path())};
    test::ScopedEnvironment searchDirectory_{"BLADERF_SEARCH_DIR", test::environmentText(scratch_.path())};
};

TEST_F(VendorTools, eachToolRunsCleanlyAndMovesExactlyWhatTheBoardsSentOrWereSent)
{
    const auto file = [&](const char* name) { return test::environmentText(scratch_ / name); };
    const std::string received = file("received.bin"), toSend = file("send.bin"), capture = file("capture.bin");
    const std::string bladeRfReceived = file("bladerf-received.bin"), bladeRfToSend = file("bladerf-send.bin"),
                      bladeRfCapture = file("bladerf-capture.bin");
    // Odd sizes: the receive ends inside a pattern word, the file to send
    // inside a 512-byte USB packet.
    constexpr std::size_t kReceivedSamples = 1'000'001;
    const std::string sent = transmitFile(1'000'001);
    test::writeTextFile(toSend, sent);
    const std::string bladeRfSent = transmitFile(4 * 10'001); // whole SC16 samples
    test::writeTextFile(bladeRfToSend, bladeRfSent);
    const test::ScopedEnvironment captureVariable("VELTRANO_USB_HACKRF_TX_CAPTURE", capture);
    const test::ScopedEnvironment bladeRfCaptureVariable("VELTRANO_USB_BLADERF_TX_CAPTURE", bladeRfCapture);

    const struct {
        std::vector<std::string> command; // the tool, then its arguments
        std::function<void(const test::ProcessResult&)> check;
    } runs[] = {
        {{"hackrf_info"},
         [](const test::ProcessResult& run) {
             EXPECT_THAT(run.standardOutput,
                         AllOf(HasSubstr("Serial number: 0000000000000000457863c82b6e2e5f\n"
                                         "Board ID Number: 2 (HackRF One)\n"
                                         "Firmware Version: usb-emulated-2026.01 (API:1.07)\n"),
                               HasSubstr("Hardware Revision: r6\n"),
                               HasSubstr("Hardware supported by installed firmware:\n    HackRF One\n"),
                               Not(HasSubstr("Opera Cake found"))));
         }},
        // Tuned by parts (IF, LO, high-pass path), amplifier and antenna power
        // on, with the sample core's statistics.
        {{"hackrf_transfer", "-r", received, "-s", "10000000", "-n", std::to_string(kReceivedSamples), "-i",
          "2450000000", "-o", "1000000000", "-m", "2", "-a", "1", "-p", "1", "-B"},
         [&](const test::ProcessResult& run) {
             const std::string bytes = test::readTextFile(received);
             EXPECT_EQ(bytes.size(), 2 * kReceivedSamples);
             EXPECT_EQ(test::streamPositionOf({bytes.begin(), bytes.end()}), 0u);
             std::smatch counts;
             const std::regex statistics("(\\d+) bytes transferred by M0\n(\\d+) bytes transferred by M4\n");
             ASSERT_TRUE(std::regex_search(run.standardError, counts, statistics)) << run.standardError;
             EXPECT_EQ(counts[1], counts[2]);
             EXPECT_GE(std::stoull(counts[1]), 2 * kReceivedSamples);
         }},
        {{"hackrf_transfer", "-t", toSend, "-s", "10000000", "-x", "20"},
         [&](const test::ProcessResult&) {
             // The file, libhackrf's zeros up to a whole USB packet, then its
             // 32 KiB flush transfer of zeros.
             const std::string recorded = test::readTextFile(capture);
             const std::size_t padded = (sent.size() + 511) / 512 * 512;
             ASSERT_EQ(recorded.size(), padded + 32768);
             EXPECT_TRUE(recorded.compare(0, sent.size(), sent) == 0);
             EXPECT_EQ(recorded.find_first_not_of('\0', sent.size()), std::string::npos);
         }},
        {{"hackrf_sweep", "-f", "2400:2500", "-N", "2"},
         [](const test::ProcessResult& run) {
             // 20 MHz steps, each giving two interleaved 5 MHz quarters at
             // each of its two tunings: 20 rows a sweep, tiling the range.
             std::vector<std::pair<double, double>> rows;
             std::istringstream lines(run.standardOutput);
             for (std::string line; std::getline(lines, line);) {
                 // date, time, low Hz, high Hz, bin width, samples, then one level per bin
                 double low = 0, high = 0;
                 ASSERT_EQ(std::sscanf(line.c_str(), "%*[^,],%*[^,],%lf,%lf", &low, &high), 2) << line;
                 rows.emplace_back(low, high);
             }
             ASSERT_EQ(rows.size(), 40u) << run.standardOutput;
             for (auto sweep = rows.begin(); sweep != rows.end(); sweep += 20) {
                 std::sort(sweep, sweep + 20);
                 for (int k = 0; k < 20; ++k) {
                     EXPECT_EQ(sweep[k], std::make_pair(2400e6 + 5e6 * k, 2405e6 + 5e6 * k)) << k;
                 }
             }
         }},
        // The tool's listing is its own code path, apart from opening a board.
        {{"bladeRF-cli", "-p"},
         [](const test::ProcessResult& run) {
             EXPECT_THAT(run.standardOutput, HasSubstr("Serial:         7a3c91e0d25b4f86a1c0e9d3b74f2a55\n"));
         }},
        {{"bladeRF-cli", "-e", "info", "-e", "version"},
         [](const test::ProcessResult& run) {
             EXPECT_THAT(run.standardOutput,
                         AllOf(HasSubstr("Board:                    Nuand bladeRF (bladerf1)\n"
                                         "  Serial #:                 7a3c91e0d25b4f86a1c0e9d3b74f2a55\n"),
                               HasSubstr("FPGA loaded:              yes\n"), HasSubstr("Firmware version:"),
                               HasSubstr("FPGA version:")));
         }},
        // bladeRF-cli 2022.11's stream tasks wait for a request without first
        // looking for one already posted: a start posted before a task has
        // gone idle, or a shutdown posted as it goes idle after a finished
        // stream, is lost and the tool stalls. So its streams are run as a
        // user types them, with time to settle, and end at the tool's exit
        // while still running.
        {interactively("rx", "file=" + bladeRfReceived + " format=bin n=0"),
         [&](const test::ProcessResult&) {
             const std::string bytes = test::readTextFile(bladeRfReceived);
             // Whole little-endian SC16 Q11 samples, each following the one before.
             sim::usb::PatternFollower follower(sim::usb::ReceivePattern::bladeRf);
             follower.take(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
             EXPECT_EQ(bytes.size() % 4, 0u);
             ASSERT_GE(bytes.size(), 4 * 32768u);
             EXPECT_EQ(follower.breaks(), 0u);
             EXPECT_EQ(follower.steps(), bytes.size() / 4);
         }},
        {interactively("tx", "file=" + bladeRfToSend + " format=bin repeat=0"),
         [&](const test::ProcessResult&) {
             // The file over and over, then the zeros the stream ends with.
             const std::string recorded = test::readTextFile(bladeRfCapture);
             ASSERT_NE(recorded.find_last_not_of('\0'), std::string::npos);
             const std::size_t sent = recorded.find_last_not_of('\0') / 4 * 4 + 4;
             ASSERT_GE(sent, 2 * bladeRfSent.size());
             std::size_t mismatches = 0;
             for (std::size_t at = 0; at < sent; ++at) {
                 mismatches += recorded[at] != bladeRfSent[at % bladeRfSent.size()];
             }
             EXPECT_EQ(mismatches, 0u);
         }},
    };
    for (const auto& each : runs) {
        SCOPED_TRACE(each.command.front() + (each.command.size() < 2 ? "" : " " + each.command[1]));
        // Bounded: a tool that hangs fails its row instead of the whole run.
        std::vector<std::string> arguments = toolCommand(each.command.front());
        arguments.insert(arguments.begin(), {"-s", "KILL", "60"});
        arguments.insert(arguments.end(), each.command.begin() + 1, each.command.end());
        const test::ProcessResult run = test::runProcess("/usr/bin/timeout", arguments);
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        EXPECT_THAT(run.standardOutput + run.standardError, Not(AnyOf(HasSubstr("failed"), HasSubstr("Error"))));
        each.check(run);
    }
}

// On the bladeRF 2.0 micro, in each of the library's tuning modes, its
// default first: there the tool's library programs the AD9361 itself and
// reads the tuning back from the chip's registers (915 MHz lies 2 Hz off the
// synthesizer's grid); in the FPGA's mode the emulated NIOS II keeps the
// frequency as it was asked for.
TEST_F(VendorTools, bladeRfCliTunesTheMicroAndReadsItBackInEachTuningMode)
{
    const struct {
        std::optional<std::string> tuningMode;
        const char* frequency;
    } modes[] = {{std::nullopt, "RX1 Frequency:  914999998 Hz"}, {"fpga", "RX1 Frequency:  915000000 Hz"}};
    const test::ScopedEnvironment micro("LD_LIBRARY_PATH", VELTRANO_USB_BLADERF2_DIRECTORY);
    std::vector<std::string> arguments = toolCommand("bladeRF-cli");
    arguments.insert(arguments.begin(), {"-s", "KILL", "60"});
    arguments.insert(arguments.end(), {"-e", "info", "-e", "set frequency rx 915M", "-e", "set samplerate rx 5M", "-e",
                                       "print frequency rx1", "-e", "print samplerate rx1"});
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.tuningMode.value_or("host"));
        const test::ScopedEnvironment tuning("BLADERF_DEFAULT_TUNING_MODE", mode.tuningMode);
        const test::ProcessResult run = test::runProcess("/usr/bin/timeout", arguments);
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        EXPECT_THAT(run.standardOutput, AllOf(HasSubstr("Board:                    Nuand bladeRF 2.0 (bladerf2)\n"),
                                              HasSubstr(mode.frequency), HasSubstr("RX1 sample rate: 5000000 0/1")));
        EXPECT_THAT(run.standardOutput + run.standardError, Not(AnyOf(HasSubstr("failed"), HasSubstr("Error"))));
    }
}

} // namespace
} // namespace veltrano
