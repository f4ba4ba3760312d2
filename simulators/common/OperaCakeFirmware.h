// SPDX-License-Identifier: MIT
#pragma once

// The Opera Cake antenna switches stacked on a HackRF, as the board's
// firmware keeps them: which boards answered at power-on, each board's mode
// and ports, and the frequency ranges the firmware switches by on every
// retune. Shared by the simulated libhackrf and the USB-level emulated board,
// so both answer as the firmware does. Not thread-safe: each caller holds
// its own lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrano::sim {

class OperaCakeFirmware {
public:
    static constexpr std::size_t kAddresses = 8;
    static constexpr std::uint8_t kNoBoard = 0xff;
    enum Mode : std::uint8_t { manual = 0, frequency = 1, time = 2 };
    // Port numbers as the host library sends them: A1-A4 0-3, B1-B4 4-7.
    struct Ports {
        std::uint8_t a = 0; // where common port A is connected
        std::uint8_t b = 4; // where common port B is connected
    };

    // Boards answer at these addresses (others are ignored), each in manual
    // mode with A on A1 and B on B1, as after power-on.
    explicit OperaCakeFirmware(const std::vector<std::uint8_t>& addresses = {});
    // "0,1": the addresses of the boards stacked; empty for none.
    static std::vector<std::uint8_t> addressesFromText(const std::string& text);

    // The eight address slots: the boards present first, kNoBoard after.
    std::array<std::uint8_t, kAddresses> boards() const;
    // Keeps ports chosen by hand and puts them on while the board is in manual
    // mode; a pair on one side is ignored (the firmware acknowledges it anyway).
    void setPorts(std::uint8_t address, std::uint8_t portA, std::uint8_t portB);
    // False where the firmware stalls: an address beyond the slots.
    bool setMode(std::uint8_t address, std::uint8_t mode);
    std::uint8_t mode(std::uint8_t address) const;
    // The request's range records (5 bytes each: minimum and maximum MHz most
    // significant byte first, then the port); false where the firmware stalls
    // (no range, more than eight).
    bool setRanges(const unsigned char* records, std::size_t length);
    // Dwell-time records (5 bytes each); false where the firmware stalls (none, more than 16).
    bool setDwellTimes(const unsigned char* records, std::size_t length);
    // A retune: the first board in frequency mode goes to the range holding
    // the whole MHz (the last range when none does), if that is a new range.
    void tuned(std::uint64_t frequencyHz);

    // The ports connected now; nullopt for an address without a board.
    std::optional<Ports> ports(std::uint8_t address) const;
    std::size_t rangeCount() const { return ranges_.size(); }
    std::size_t dwellTimeCount() const { return dwellTimes_; }
    // "A2/B2", the ports as a journal shows them; "-" without a board.
    std::string describe(std::uint8_t address) const;

private:
    struct Range {
        std::uint16_t minimumMhz;
        std::uint16_t maximumMhz;
        std::uint8_t port;
    };
    struct Board {
        bool present = false;
        std::uint8_t mode = manual;
        Ports chosen;    // set by hand, kept through the other modes
        Ports connected; // what the switches do now
    };
    // Puts a pair on when its ports lie on opposite sides, as the firmware's I2C write does.
    void connect(Board& board, Ports ports);

    std::array<Board, kAddresses> boards_{};
    std::vector<Range> ranges_;
    std::optional<std::size_t> currentRange_;
    std::size_t dwellTimes_ = 0;
};

} // namespace veltrano::sim
