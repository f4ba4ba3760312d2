// SPDX-License-Identifier: MIT
#include "common/OperaCakeFirmware.h"

#include <cstdlib>
#include <sstream>

namespace veltrano::sim {
namespace {

constexpr std::size_t kRecordBytes = 5;
constexpr std::size_t kMostRanges = 8;
constexpr std::size_t kMostDwellTimes = 16;
constexpr std::uint8_t kHighestPort = 7;

bool onOppositeSides(OperaCakeFirmware::Ports ports)
{
    return ports.a <= kHighestPort && ports.b <= kHighestPort && (ports.a < 4) != (ports.b < 4);
}

std::string portName(std::uint8_t port)
{
    return std::string(1, port < 4 ? 'A' : 'B') + static_cast<char>('1' + port % 4);
}

} // namespace

OperaCakeFirmware::OperaCakeFirmware(const std::vector<std::uint8_t>& addresses)
{
    for (const std::uint8_t address : addresses) {
        if (address < kAddresses) {
            boards_[address].present = true;
        }
    }
}

std::vector<std::uint8_t> OperaCakeFirmware::addressesFromText(const std::string& text)
{
    std::vector<std::uint8_t> addresses;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (!item.empty()) {
            addresses.push_back(static_cast<std::uint8_t>(std::strtoul(item.c_str(), nullptr, 0)));
        }
    }
    return addresses;
}

std::array<std::uint8_t, OperaCakeFirmware::kAddresses> OperaCakeFirmware::boards() const
{
    std::array<std::uint8_t, kAddresses> slots{};
    slots.fill(kNoBoard);
    std::size_t count = 0;
    for (std::size_t address = 0; address < kAddresses; ++address) {
        if (boards_[address].present) {
            slots[count++] = static_cast<std::uint8_t>(address);
        }
    }
    return slots;
}

void OperaCakeFirmware::connect(Board& board, Ports ports)
{
    if (board.present && onOppositeSides(ports)) {
        board.connected = ports;
    }
}

void OperaCakeFirmware::setPorts(std::uint8_t address, std::uint8_t portA, std::uint8_t portB)
{
    if (address >= kAddresses || !onOppositeSides({portA, portB})) {
        return;
    }
    Board& board = boards_[address];
    board.chosen = {portA, portB};
    if (board.mode == manual) {
        connect(board, board.chosen);
    }
}

bool OperaCakeFirmware::setMode(std::uint8_t address, std::uint8_t mode)
{
    if (address >= kAddresses) {
        return false;
    }
    Board& board = boards_[address];
    board.mode = mode;
    currentRange_.reset();
    if (mode != time) {
        connect(board, board.chosen);
    }
    return true;
}

std::uint8_t OperaCakeFirmware::mode(std::uint8_t address) const
{
    return address < kAddresses ? boards_[address].mode : std::uint8_t{manual};
}

bool OperaCakeFirmware::setRanges(const unsigned char* records, std::size_t length)
{
    const std::size_t count = length / kRecordBytes;
    if (count == 0 || count > kMostRanges || records == nullptr) {
        return false;
    }
    ranges_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* record = records + i * kRecordBytes;
        ranges_.push_back({static_cast<std::uint16_t>(record[0] << 8 | record[1]),
                           static_cast<std::uint16_t>(record[2] << 8 | record[3]), record[4]});
    }
    currentRange_.reset();
    return true;
}

bool OperaCakeFirmware::setDwellTimes(const unsigned char* records, std::size_t length)
{
    const std::size_t count = length / kRecordBytes;
    if (count == 0 || count > kMostDwellTimes || records == nullptr) {
        return false;
    }
    dwellTimes_ = count;
    return true;
}

void OperaCakeFirmware::tuned(std::uint64_t frequencyHz)
{
    if (ranges_.empty()) {
        return;
    }
    const std::uint64_t megahertz = frequencyHz / 1'000'000;
    std::size_t range = 0;
    while (range < ranges_.size() &&
           !(megahertz >= ranges_[range].minimumMhz && megahertz <= ranges_[range].maximumMhz)) {
        ++range;
    }
    if (range == ranges_.size()) {
        --range;
    }
    if (currentRange_ == range) {
        return;
    }
    for (Board& board : boards_) {
        if (board.present && board.mode == frequency) {
            // Port B mirrors port A on the other side.
            const std::uint8_t portA = ranges_[range].port;
            connect(board, {portA, static_cast<std::uint8_t>((portA + 4) % 8)});
            break;
        }
    }
    currentRange_ = range;
}

std::optional<OperaCakeFirmware::Ports> OperaCakeFirmware::ports(std::uint8_t address) const
{
    if (address >= kAddresses || !boards_[address].present) {
        return std::nullopt;
    }
    return boards_[address].connected;
}

std::string OperaCakeFirmware::describe(std::uint8_t address) const
{
    const std::optional<Ports> connected = ports(address);
    return connected ? portName(connected->a) + "/" + portName(connected->b) : "-";
}

} // namespace veltrano::sim
