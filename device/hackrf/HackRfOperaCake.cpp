// SPDX-License-Identifier: MIT
// The Opera Cake antenna switches a HackRF carries on its expansion header:
// each of a board's eight ports as an antenna, chosen by hand or by the
// board's firmware from the frequency on every retune.
#include "device/hackrf/HackRfApi.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

namespace veltrano {
namespace {

constexpr double kMegahertz = 1e6;
// Firmware below this USB API version cannot list its Opera Cakes.
constexpr std::uint16_t kOperaCakeListUsbApi = 0x0105;
// The firmware keeps its ranges as 16-bit whole MHz.
constexpr double kHighestRangeMhz = 65535.0;

struct OperaCakePort {
    std::uint8_t address = 0;
    std::uint8_t portA = 0; // where common port A, the board's antenna, goes: OPERACAKE_PA1..OPERACAKE_PB4
    std::uint8_t portB = 0; // where common port B goes
};

std::string portName(std::uint8_t port)
{
    return std::string(1, port <= OPERACAKE_PA4 ? 'A' : 'B') + static_cast<char>('1' + port % 4);
}

std::string boardSuffix(std::uint8_t address, bool severalBoards)
{
    return severalBoards ? "@" + std::to_string(address) : std::string();
}

// The port on the other side with the same number, where port B goes while
// port A is on this one; as the firmware mirrors it.
std::uint8_t mirrored(std::uint8_t port)
{
    return static_cast<std::uint8_t>((port + 4) % 8);
}

// The name of a choice: the port alone where port B mirrors it, else the pair.
std::string antennaName(const OperaCakePort& chosen, bool severalBoards)
{
    const std::string ports = chosen.portB == mirrored(chosen.portA)
                                  ? portName(chosen.portA)
                                  : portName(chosen.portA) + "/" + portName(chosen.portB);
    return ports + boardSuffix(chosen.address, severalBoards);
}

std::optional<std::uint8_t> parsePort(std::string_view text)
{
    if (text.size() != 2 || (text[0] != 'A' && text[0] != 'B') || text[1] < '1' || text[1] > '4') {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>((text[0] == 'A' ? OPERACAKE_PA1 : OPERACAKE_PB1) + (text[1] - '1'));
}

// "B2" (port B mirroring it), or the pair "A1/B3" for a second radio cabled
// to port B; "@1" after either names the board, which only a single stacked
// board may leave out.
std::optional<OperaCakePort> parseAntenna(const std::string& name, const std::vector<std::uint8_t>& boards,
                                          std::string& why)
{
    const std::size_t at = name.find('@');
    const std::string_view ports = std::string_view(name).substr(0, at);
    const std::size_t slash = ports.find('/');
    const std::optional<std::uint8_t> portA = parsePort(ports.substr(0, slash));
    const std::optional<std::uint8_t> portB = slash != std::string_view::npos ? parsePort(ports.substr(slash + 1))
                                              : portA ? std::optional<std::uint8_t>(mirrored(*portA))
                                                      : std::nullopt;
    if (!portA || !portB) {
        why = "no antenna \"" + name + "\": the Opera Cake's ports are A1-A4 and B1-B4";
        return std::nullopt;
    }
    if ((*portA <= OPERACAKE_PA4) == (*portB <= OPERACAKE_PA4)) {
        why = "antenna \"" + name + "\" puts both common ports on side " + portName(*portA).substr(0, 1) +
              ": port A and port B go to opposite sides";
        return std::nullopt;
    }
    OperaCakePort chosen{0, *portA, *portB};
    if (at == std::string::npos) {
        if (boards.size() != 1) {
            why = "antenna \"" + name + "\" does not say which Opera Cake: name it as " + name + "@" +
                  std::to_string(boards.front()) + " (the board's address)";
            return std::nullopt;
        }
        chosen.address = boards.front();
        return chosen;
    }
    const std::string address = name.substr(at + 1);
    const auto found = std::find_if(boards.begin(), boards.end(),
                                    [&](std::uint8_t board) { return std::to_string(board) == address; });
    if (found == boards.end()) {
        why = "no antenna \"" + name + "\": no Opera Cake has address " + address;
        return std::nullopt;
    }
    chosen.address = *found;
    return chosen;
}

// Why a board shows no Opera Cake, for a request that needs one.
std::string noOperaCakeReason(std::uint16_t usbApiVersion)
{
    if (hackRfApi().getOperacakeBoards == nullptr) {
        return "the loaded libhackrf has no hackrf_get_operacake_boards";
    }
    if (usbApiVersion < kOperaCakeListUsbApi) {
        char why[96];
        std::snprintf(why, sizeof why, "the board's firmware (USB API 0x%04x) cannot list Opera Cakes; 0x%04x can",
                      static_cast<unsigned>(usbApiVersion), static_cast<unsigned>(kOperaCakeListUsbApi));
        return why;
    }
    return "no Opera Cake is stacked on the board";
}

} // namespace

void HackRfSdrDevice::findOperaCakes()
{
    operaCakes_.clear();
    const HackRfApi& api = hackRfApi();
    std::array<std::uint8_t, HACKRF_OPERACAKE_MAX_BOARDS> boards{};
    // Firmware before USB API 0x0105 cannot list them: the library refuses, and there are none.
    if (api.getOperacakeBoards == nullptr || api.getOperacakeBoards(handle_->device, boards.data()) != HACKRF_SUCCESS) {
        return;
    }
    for (const std::uint8_t address : boards) {
        if (address < HACKRF_OPERACAKE_MAX_BOARDS &&
            std::find(operaCakes_.begin(), operaCakes_.end(), address) == operaCakes_.end()) {
            operaCakes_.push_back(address);
        }
    }
    if (!operaCakes_.empty()) {
        antenna_ = antennaName({operaCakes_.front(), OPERACAKE_PA1, OPERACAKE_PB1}, operaCakes_.size() > 1);
    }
}

std::vector<std::string> HackRfSdrDevice::accessories() const
{
    std::vector<std::string> names;
    for (const std::uint8_t address : operaCakes_) {
        names.push_back("Opera Cake " + std::to_string(address));
    }
    return names;
}

std::vector<std::string> HackRfSdrDevice::antennas(StreamDirection) const
{
    std::vector<std::string> names;
    for (const std::uint8_t address : operaCakes_) {
        for (std::uint8_t port = OPERACAKE_PA1; port <= OPERACAKE_PB4; ++port) {
            names.push_back(portName(port) + boardSuffix(address, operaCakes_.size() > 1));
        }
    }
    return names;
}

std::string HackRfSdrDevice::antenna(StreamDirection) const
{
    if (antennaPlan_.empty() || rxFrequencyHz_ <= 0.0) {
        return antenna_;
    }
    // The board's own pick: the first range holding the whole MHz tuned, else the last range.
    const double tunedMhz = std::floor(rxFrequencyHz_ / kMegahertz);
    for (const AntennaRange& entry : antennaPlan_) {
        if (tunedMhz >= entry.range.minimumHz / kMegahertz && tunedMhz <= entry.range.maximumHz / kMegahertz) {
            return entry.antenna;
        }
    }
    return antennaPlan_.back().antenna;
}

bool HackRfSdrDevice::setAntenna(StreamDirection, const std::string& name)
{
    lastError_.clear();
    const HackRfApi& api = hackRfApi();
    if (operaCakes_.empty()) {
        lastError_.set("no antenna \"" + name + "\": " + noOperaCakeReason(usbApiVersion_));
        return false;
    }
    std::string why;
    const std::optional<OperaCakePort> chosen = parseAntenna(name, operaCakes_, why);
    if (!chosen) {
        lastError_.set(why);
        return false;
    }
    if (api.setOperacakePorts == nullptr || api.setOperacakeMode == nullptr) {
        lastError_.set("the loaded libhackrf cannot switch an Opera Cake's ports");
        return false;
    }
    if (stepFailed("hackrf_set_operacake_ports",
                   api.setOperacakePorts(handle_->device, chosen->address, chosen->portA, chosen->portB))) {
        return false;
    }
    // The firmware keeps ports set by hand until its board is in manual
    // mode again, and switching to it puts them on at once.
    if (!antennaPlan_.empty() && chosen->address == antennaPlanAddress_) {
        if (stepFailed("hackrf_set_operacake_mode",
                       api.setOperacakeMode(handle_->device, chosen->address, OPERACAKE_MODE_MANUAL))) {
            return false;
        }
        antennaPlan_.clear();
    }
    antenna_ = antennaName(*chosen, operaCakes_.size() > 1);
    return true;
}

bool HackRfSdrDevice::setAntennaPlan(const std::vector<AntennaRange>& plan)
{
    lastError_.clear();
    const HackRfApi& api = hackRfApi();
    if (plan.empty()) {
        if (antennaPlan_.empty()) {
            return true;
        }
        if (stepFailed("hackrf_set_operacake_mode",
                       api.setOperacakeMode(handle_->device, antennaPlanAddress_, OPERACAKE_MODE_MANUAL))) {
            return false;
        }
        antennaPlan_.clear();
        return true;
    }
    if (operaCakes_.empty()) {
        lastError_.set("no frequency plan: " + noOperaCakeReason(usbApiVersion_));
        return false;
    }
    if (api.setOperacakeFreqRanges == nullptr || api.setOperacakeMode == nullptr) {
        lastError_.set("the loaded libhackrf cannot switch an Opera Cake by frequency");
        return false;
    }
    if (plan.size() > HACKRF_OPERACAKE_MAX_FREQ_RANGES) {
        lastError_.set("the frequency plan has " + std::to_string(plan.size()) + " ranges; an Opera Cake takes " +
                       std::to_string(HACKRF_OPERACAKE_MAX_FREQ_RANGES));
        return false;
    }
    std::vector<hackrf_operacake_freq_range> ranges;
    std::optional<std::uint8_t> address;
    for (const AntennaRange& entry : plan) {
        std::string why;
        const std::optional<OperaCakePort> port = parseAntenna(entry.antenna, operaCakes_, why);
        if (!port) {
            lastError_.set(why);
            return false;
        }
        if (address && *address != port->address) {
            lastError_.set("the frequency plan names two Opera Cakes: the board switches one by frequency");
            return false;
        }
        address = port->address;
        const double lowMhz = entry.range.minimumHz / kMegahertz;
        const double highMhz = entry.range.maximumHz / kMegahertz;
        if (!(lowMhz <= highMhz) || lowMhz < 0.0 || highMhz > kHighestRangeMhz) {
            lastError_.set("the range of " + entry.antenna + " is empty or beyond what the board keeps");
            return false;
        }
        if (lowMhz != std::floor(lowMhz) || highMhz != std::floor(highMhz)) {
            lastError_.set("the range of " + entry.antenna + " is not in whole MHz, which the board switches on");
            return false;
        }
        // The firmware mirrors port B itself: a range names port A's port only.
        if (port->portB != mirrored(port->portA)) {
            lastError_.set("the frequency plan's " + entry.antenna + " names a pair; a range takes one port");
            return false;
        }
        ranges.push_back({static_cast<std::uint16_t>(lowMhz), static_cast<std::uint16_t>(highMhz), port->portA});
    }
    // The firmware takes the first range that holds a frequency: ranges that
    // overlap would leave part of one never used.
    std::vector<hackrf_operacake_freq_range> sorted = ranges;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.freq_min < b.freq_min; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].freq_min <= sorted[i - 1].freq_max) {
            lastError_.set("the frequency plan's ranges overlap at " + std::to_string(sorted[i].freq_min) + " MHz");
            return false;
        }
    }
    if (!antennaPlan_.empty() && *address != antennaPlanAddress_ &&
        stepFailed("hackrf_set_operacake_mode",
                   api.setOperacakeMode(handle_->device, antennaPlanAddress_, OPERACAKE_MODE_MANUAL))) {
        return false;
    }
    if (stepFailed(
            "hackrf_set_operacake_freq_ranges",
            api.setOperacakeFreqRanges(handle_->device, ranges.data(), static_cast<std::uint8_t>(ranges.size()))) ||
        stepFailed("hackrf_set_operacake_mode",
                   api.setOperacakeMode(handle_->device, *address, OPERACAKE_MODE_FREQUENCY))) {
        return false;
    }
    antennaPlan_ = plan;
    antennaPlanAddress_ = *address;
    // The firmware switches on a retune only: tuning again to the frequency
    // in force puts the plan's port on now.
    if (rxFrequencyHz_ > 0.0 &&
        stepFailed("hackrf_set_freq", api.setFreq(handle_->device, static_cast<std::uint64_t>(rxFrequencyHz_)))) {
        return false;
    }
    return true;
}

std::vector<ISdrDevice::AntennaRange> HackRfSdrDevice::antennaPlan() const
{
    return antennaPlan_;
}

} // namespace veltrano
