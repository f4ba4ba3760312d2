// SPDX-License-Identifier: MIT
// sdr-probe: lists every attached HackRF and/or bladeRF board, opens each in
// turn and prints one tab-separated record of its receive capabilities per
// board on standard output. A board that cannot be probed gets one line on
// standard error and does not stop the others.
//
// Exit status: 0 when a family found nothing or probed at least one board,
// 2 when boards were listed and none could be probed, 64 for a wrong command
// line (which prints nothing at all).
#include "device/bladerf/BladeRfEnumeration.h"
#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfEnumeration.h"
#include "device/hackrf/HackRfSdrDevice.h"
#include "device/platform/StandardStreams.h"

#include <cstdint>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace veltrano;

constexpr int kFamilyProbed = 0;
constexpr int kFamilyFailed = 2;
constexpr int kUsageError = 64;

// A serial is shown and used as is only when it is plain enough to be a
// stable, script-friendly identity; anything else is replaced by a position.
bool isAcceptableSerial(std::string_view serial)
{
    if (serial.empty() || serial.size() > 64) {
        return false;
    }
    for (const char c : serial) {
        const bool asciiAlphanumeric = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!asciiAlphanumeric && c != '-' && c != '.' && c != '_') {
            return false;
        }
    }
    return true;
}

// Writes the record's capability fields: the maximum receive rate and each
// receive range, every one preceded by a tab. Numbers use the stream's default
// format (six significant digits, general notation), then the line is ended
// and flushed so a reader of the pipe sees each board as soon as it is done.
void writeCapabilities(const ISdrDevice& device, const std::vector<FrequencyRangeHz>& ranges)
{
    std::cout << '\t' << device.maximumRxSampleRateHz();
    for (const FrequencyRangeHz& range : ranges) {
        std::cout << '\t' << range.minimumHz << '\t' << range.maximumHz;
    }
    std::cout << '\n' << std::flush;
    // A record that never reached its reader (a full disk, a closed pipe) is
    // not a probed board: report it like any other failure of this board.
    if (!std::cout) {
        std::cout.clear();
        throw std::runtime_error("cannot write the record to standard output");
    }
}

// Runs one board's probe, turning any failure into one line on standard
// error. True when the record was written completely.
template <typename ProbeBoard>
bool probeOneBoard(std::string_view familyPrefix, const std::string& identity, ProbeBoard&& probeBoard)
{
    try {
        probeBoard();
        return true;
    } catch (const std::exception& failure) {
        std::cerr << familyPrefix << identity << ": " << failure.what() << '\n';
    } catch (...) {
        std::cerr << familyPrefix << identity << ": unknown probe failure\n";
    }
    return false;
}

int familyResult(std::size_t listed, std::int32_t probed)
{
    return listed == 0 || probed > 0 ? kFamilyProbed : kFamilyFailed;
}

int probeHackRf()
{
    const std::vector<HackRfDeviceSummary> boards = enumerateHackRfDevices();
    std::int32_t probed = 0;
    std::size_t position = 0;
    for (const HackRfDeviceSummary& board : boards) {
        ++position;
        const bool acceptable = isAcceptableSerial(board.serial);
        const std::string identity = acceptable ? board.serial : "HACKRF-USB-" + std::to_string(position);
        const std::string serial = acceptable ? board.serial : std::string();
        const bool written = probeOneBoard("HackRF ", identity, [&] {
            const HackRfSdrDevice device(serial);
            const std::vector<FrequencyRangeHz> ranges = device.rxFrequencyRanges();
            std::cout << "HACKRF\t" << identity << '\t' << serial;
            writeCapabilities(device, ranges);
        });
        probed += written ? 1 : 0;
    }
    return familyResult(boards.size(), probed);
}

int probeBladeRf()
{
    const std::vector<BladeRfDeviceSummary> boards = enumerateBladeRfDevices();
    std::int32_t probed = 0;
    for (const BladeRfDeviceSummary& board : boards) {
        const bool written = probeOneBoard("bladeRF ", board.serial, [&] {
            const BladeRfSdrDevice device(board.serial);
            const std::vector<FrequencyRangeHz> ranges = device.rxFrequencyRanges();
            std::cout << "BLADERF\t" << board.serial << '\t' << board.label;
            writeCapabilities(device, ranges);
        });
        probed += written ? 1 : 0;
    }
    return familyResult(boards.size(), probed);
}

} // namespace

int main(int argc, char** argv)
{
    platform::useBinaryStandardStreams();
    if (argc != 2) {
        return kUsageError;
    }
    const std::string_view family = argv[1];
    if (family == "hackrf") {
        return probeHackRf();
    }
    if (family == "bladerf") {
        return probeBladeRf();
    }
    if (family == "both") {
        const int hackRf = probeHackRf();
        const int bladeRf = probeBladeRf();
        return hackRf != 0 || bladeRf != 0 ? kFamilyFailed : kFamilyProbed;
    }
    return kUsageError;
}
