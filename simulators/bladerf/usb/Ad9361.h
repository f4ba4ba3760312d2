// SPDX-License-Identifier: MIT
#pragma once

// The 2.0 micro's AD9361 as the host reaches it in the library's host tuning
// mode: SPI accesses carried by the NIOS II, one to eight registers each. The
// chip is a register file (what is written reads back) except where the
// hardware answers for itself: its product ID, the calibration bits that clear
// once a calibration is done, the enable state machine's state, the PLL lock
// and charge-pump calibration flags, the receive filter's factory trims (never
// zero: the host divides by them), the gain index read-back (the manual index,
// or under automatic gain control the AGC's), and the fast-lock profile store.
// Faults keep a PLL from locking or a calibration from ending.
// Not thread-safe: the board calls it under the USB engine's lock.

#include <array>
#include <cstdint>

namespace veltrano::sim::usbbladerf {

class Ad9361 {
public:
    static constexpr std::size_t kRegisterCount = 1024;
    using Registers = std::array<std::uint8_t, kRegisterCount>;
    // Eight profiles of sixteen words, receive then transmit.
    using FastLockStore = std::array<std::array<std::array<std::uint8_t, 16>, 8>, 2>;

    struct Faults {
        bool pllNeverLocks = false; // neither the BBPLL nor the RF PLLs
        bool calibrationNeverEnds = false;
    };

    Ad9361() { reset(); }

    // One SPI transaction: the 16-bit command (bit 15 write, bits 14:12 the
    // count less one, bits 9:0 the first address, counting down) and the data,
    // first byte in the top bits. Returns what a read brings back.
    std::uint64_t transfer(std::uint16_t command, std::uint64_t data);
    // The chip at power-on (a reset pulse on its RESETB pin).
    void reset();

    void setFaults(const Faults& faults) { faults_ = faults; }
    const Faults& faults() const { return faults_; }
    // What the host wrote, as the chip holds it (read-back answers aside).
    const Registers& registers() const { return registers_; }
    const FastLockStore& fastLockStore() const { return fastLock_; }

    // A receiver's gain control as AGC config 1 selects it (channel 0 RX1, 1 RX2).
    enum class GainControl : std::uint8_t { manual = 0, fastAttack = 1, slowAttack = 2, hybrid = 3 };
    static GainControl gainControl(const Registers& registers, unsigned channel);
    // The full gain table index in force: the manual one, or the one the AGC chose.
    static std::uint8_t rxGainIndex(const Registers& registers, unsigned channel);
    // The emulated scene is steady, so an AGC settles at once, always on this index.
    static constexpr std::uint8_t kAgcSettledIndex = 50;
    // And its sensors read steady values: the die temperature code (the
    // host turns it into code / 1.14 °C: 40.351 °C) and each receiver's
    // RSSI in quarter dB below full scale, the same for preamble and symbol
    // (60.25 dB on RX1 and 50.75 dB on RX2, which libbladeRF rounds to -60
    // and -51 dB).
    static constexpr std::uint8_t kTemperatureCode = 46;
    static constexpr std::uint16_t kRxRssiQuarterDb[2] = {241, 203};

private:
    std::uint8_t read(std::uint16_t address) const;
    void write(std::uint16_t address, std::uint8_t value);
    std::uint8_t ensmState() const;

    Registers registers_{};
    FastLockStore fastLock_{};
    Faults faults_;
};

} // namespace veltrano::sim::usbbladerf
