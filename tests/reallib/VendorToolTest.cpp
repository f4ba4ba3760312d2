// SPDX-License-Identifier: MIT
// The vendor's own command-line tools (Debian's `hackrf`), run as their users
// run them, on the emulated board: each tool's library finds the emulator
// first on the library path the test program passes on to its children.
#include "tests/support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::filesystem::path kToolDirectory = "/usr/bin";

// Byte p of the board's receive stream is byte p % 4 of the little-endian
// 32-bit number p / 4.
std::string receivePattern(std::size_t bytes)
{
    std::string pattern(bytes, '\0');
    for (std::size_t p = 0; p < bytes; ++p) {
        pattern[p] = static_cast<char>((p / 4) >> (8 * (p % 4)));
    }
    return pattern;
}

// Never zero, so the board's record shows where the file ends and libhackrf's
// zero padding begins.
std::string transmitFile(std::size_t bytes)
{
    std::string file(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i) {
        file[i] = static_cast<char>(1 + i % 251);
    }
    return file;
}

// Every [low, high] of hackrf_sweep's rows, in order.
std::vector<std::pair<double, double>> sweepRows(const std::string& csv)
{
    std::vector<std::pair<double, double>> rows;
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) {
        // date, time, low Hz, high Hz, bin width, samples, then one level per bin
        std::istringstream fields(line);
        std::string date, time, low, high;
        std::getline(fields, date, ',');
        std::getline(fields, time, ',');
        std::getline(fields, low, ',');
        std::getline(fields, high, ',');
        rows.emplace_back(std::stod(low), std::stod(high));
    }
    return rows;
}

class VendorTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kToolDirectory / "hackrf_info")) {
            GTEST_SKIP() << "Debian's hackrf tools are not installed";
        }
#ifdef VELTRANO_SANITIZER_RUNTIME
        // The emulator is built instrumented and the tools are not: the
        // sanitizer's runtime has to be loaded ahead of everything else.
        preload_.emplace("LD_PRELOAD", VELTRANO_SANITIZER_RUNTIME);
#endif
    }

    test::TemporaryDirectory scratch_;

private:
    std::optional<test::ScopedEnvironment> preload_;
};

TEST_F(VendorTools, eachToolRunsCleanlyAndMovesExactlyWhatTheBoardSentOrWasSent)
{
    const std::filesystem::path received = scratch_ / "received.bin";
    const std::filesystem::path toSend = scratch_ / "send.bin";
    const std::filesystem::path capture = scratch_ / "capture.bin";
    // Odd sizes: the receive ends inside a pattern word, the file to send
    // inside a 512-byte USB packet.
    constexpr std::size_t kReceivedSamples = 1'000'001;
    const std::string sent = transmitFile(1'000'001);
    test::writeTextFile(toSend, sent);
    const test::ScopedEnvironment captureVariable("VELTRANO_USB_HACKRF_TX_CAPTURE", test::environmentText(capture));

    const struct {
        const char* tool;
        std::vector<std::string> arguments;
        std::function<void(const test::ProcessResult&)> check;
    } runs[] = {
        {"hackrf_info", {}, [](const test::ProcessResult& run) {
             EXPECT_THAT(run.standardOutput, HasSubstr("Serial number: 0000000000000000457863c82b6e2e5f\n"
                                                       "Board ID Number: 2 (HackRF One)\n"
                                                       "Firmware Version: usb-emulated-2026.01 (API:1.07)\n"));
             EXPECT_THAT(run.standardOutput, HasSubstr("Hardware Revision: r6\n"));
             EXPECT_THAT(run.standardOutput, HasSubstr("Hardware supported by installed firmware:\n    HackRF One\n"));
             EXPECT_THAT(run.standardOutput, Not(HasSubstr("Error")));
             EXPECT_THAT(run.standardOutput, Not(HasSubstr("Opera Cake found")));
         }},
        // Tuned by parts (IF, LO, high-pass path), amplifier and antenna power
        // on, with the sample core's statistics.
        {"hackrf_transfer",
         {"-r", test::environmentText(received), "-s", "10000000", "-n", std::to_string(kReceivedSamples), "-i",
          "2450000000", "-o", "1000000000", "-m", "2", "-a", "1", "-p", "1", "-B"},
         [&](const test::ProcessResult& run) {
             EXPECT_TRUE(test::readTextFile(received) == receivePattern(2 * kReceivedSamples));
             std::smatch counts;
             const std::regex statistics("(\\d+) bytes transferred by M0\n(\\d+) bytes transferred by M4\n");
             ASSERT_TRUE(std::regex_search(run.standardError, counts, statistics)) << run.standardError;
             EXPECT_EQ(counts[1], counts[2]);
             EXPECT_GE(std::stoull(counts[1]), 2 * kReceivedSamples);
         }},
        {"hackrf_transfer",
         {"-t", test::environmentText(toSend), "-s", "10000000", "-x", "20"},
         [&](const test::ProcessResult&) {
             // The file, libhackrf's zeros up to a whole USB packet, then its
             // 32 KiB flush transfer of zeros.
             const std::string recorded = test::readTextFile(capture);
             const std::size_t padded = (sent.size() + 511) / 512 * 512;
             ASSERT_EQ(recorded.size(), padded + 32768);
             EXPECT_TRUE(recorded.compare(0, sent.size(), sent) == 0);
             EXPECT_EQ(recorded.find_first_not_of('\0', sent.size()), std::string::npos);
         }},
        {"hackrf_sweep", {"-f", "2400:2500", "-N", "2"}, [](const test::ProcessResult& run) {
             // 20 MHz steps, each giving two interleaved 5 MHz quarters at
             // each of its two tunings: 20 rows a sweep, tiling the range.
             const std::vector<std::pair<double, double>> rows = sweepRows(run.standardOutput);
             ASSERT_EQ(rows.size(), 40u) << run.standardOutput;
             for (std::size_t sweep = 0; sweep < 2; ++sweep) {
                 std::vector<std::pair<double, double>> covered(rows.begin() + 20 * sweep,
                                                                rows.begin() + 20 * (sweep + 1));
                 std::sort(covered.begin(), covered.end());
                 double reached = 2400e6;
                 for (const auto& [low, high] : covered) {
                     EXPECT_EQ(low, reached);
                     EXPECT_EQ(high, low + 5e6);
                     reached = high;
                 }
                 EXPECT_EQ(reached, 2500e6);
             }
         }},
    };
    for (const auto& each : runs) {
        SCOPED_TRACE(std::string(each.tool) + (each.arguments.empty() ? "" : " " + each.arguments.front()));
        const test::ProcessResult run = test::runProcess(kToolDirectory / each.tool, each.arguments);
        EXPECT_EQ(run.exitStatus, 0) << run.standardError;
        EXPECT_THAT(run.standardOutput + run.standardError, Not(HasSubstr("failed")));
        each.check(run);
    }
}

} // namespace
} // namespace veltrano
