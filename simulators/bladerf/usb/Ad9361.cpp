// SPDX-License-Identifier: MIT
#include "Ad9361.h"

namespace veltrano::sim::usbbladerf {
namespace {

// Registers the hardware answers for itself.
constexpr std::uint16_t kSpiConfiguration = 0x000;
constexpr std::uint16_t kEnsmMode = 0x013;
constexpr std::uint16_t kEnsmConfig1 = 0x014;
constexpr std::uint16_t kCalibrationControl = 0x016;
constexpr std::uint16_t kState = 0x017;
constexpr std::uint16_t kProductId = 0x037;
constexpr std::uint16_t kBbpllStatus = 0x05E;         // bit 7: the BBPLL locked
constexpr std::uint16_t kRxCalibrationStatus = 0x244; // bit 7: charge pump calibrated
constexpr std::uint16_t kRxVcoLock = 0x247;           // bit 1: the RF PLL locked
constexpr std::uint16_t kTxOffset = 0x040;            // the TX synthesizer's block follows the RX one
constexpr std::uint16_t kRxFastLockProgramAddress = 0x25C;
constexpr std::uint16_t kRxFastLockProgramData = 0x25D;
constexpr std::uint16_t kRxFastLockProgramRead = 0x25E;
constexpr std::uint16_t kRxFastLockProgramControl = 0x25F;
constexpr std::uint16_t kAgcConfig1 = 0x0FA; // bits 1:0 RX1's gain control, 3:2 RX2's
constexpr std::uint16_t kRxManualGain[2] = {0x109, 0x10C};
constexpr std::uint16_t kRx1GainReadBack = 0x2B0;
constexpr std::uint16_t kRx2GainReadBack = 0x2B5;
constexpr std::uint16_t kTemperature = 0x00E;
// RSSI: the top eight bits of RX1's symbol and preamble readings, then RX2's;
// then the low bits of both (bit 0 RX1, bit 1 RX2), symbol then preamble.
constexpr std::uint16_t kRx1RssiSymbol = 0x1A7;
constexpr std::uint16_t kRssiSymbolLsb = 0x1AB;
constexpr std::uint16_t kRssiPreambleLsb = 0x1AC;
// The receive filter's resistor and capacitor trims, set in the factory and
// read-only; the host computes its filter constants by dividing by them.
// (R2346 at 0x1E6, C3 MSB and LSB at 0x1EB and 0x1EC.)
struct Trim {
    std::uint16_t address;
    std::uint8_t value;
};
constexpr Trim kTrims[] = {{0x1E6, 0x03}, {0x1EB, 0x22}, {0x1EC, 0x3C}};

constexpr std::uint8_t kProductAd9361 = 0x0A; // family 0x08, revision 2
constexpr std::uint8_t kSoftReset = 0x81;
constexpr std::uint8_t kBbpllLocked = 1u << 7;
constexpr std::uint8_t kChargePumpCalibrated = 1u << 7;
constexpr std::uint8_t kVcoLocked = 1u << 1;
constexpr std::uint8_t kFastLockWrite = 1u << 1;

// Enable state machine: the forcing bits of ENSM config 1, and the states.
constexpr std::uint8_t kForceRxOn = 1u << 6;
constexpr std::uint8_t kForceTxOn = 1u << 5;
constexpr std::uint8_t kForceAlert = 1u << 2;
constexpr std::uint8_t kToAlert = 1u << 0;
constexpr std::uint8_t kFddMode = 1u << 0;
constexpr std::uint8_t kStateWait = 0x0;
constexpr std::uint8_t kStateAlert = 0x5;
constexpr std::uint8_t kStateTx = 0x6;
constexpr std::uint8_t kStateRx = 0x8;
constexpr std::uint8_t kStateFdd = 0xA;

bool isTrim(std::uint16_t address)
{
    for (const Trim& trim : kTrims) {
        if (trim.address == address) {
            return true;
        }
    }
    return false;
}

// Which synthesizer's fast-lock block a register belongs to: 0 RX, 1 TX.
std::size_t fastLockDirection(std::uint16_t address)
{
    return address >= kRxFastLockProgramAddress + kTxOffset ? 1 : 0;
}

} // namespace

Ad9361::GainControl Ad9361::gainControl(const Registers& registers, unsigned channel)
{
    return static_cast<GainControl>((registers[kAgcConfig1] >> (2 * (channel & 1))) & 3);
}

std::uint8_t Ad9361::rxGainIndex(const Registers& registers, unsigned channel)
{
    return gainControl(registers, channel) == GainControl::manual ? registers[kRxManualGain[channel & 1]] & 0x7F
                                                                  : kAgcSettledIndex;
}

void Ad9361::reset()
{
    registers_.fill(0);
    for (const Trim& trim : kTrims) {
        registers_[trim.address] = trim.value;
    }
    for (auto& direction : fastLock_) {
        for (auto& profile : direction) {
            profile.fill(0);
        }
    }
}

std::uint64_t Ad9361::transfer(std::uint16_t command, std::uint64_t data)
{
    const bool isWrite = (command & 0x8000) != 0;
    const unsigned count = ((command >> 12) & 7) + 1;
    const std::uint16_t first = command & 0x3FF;
    std::uint64_t answer = 0;
    for (unsigned i = 0; i < count; ++i) {
        const auto address = static_cast<std::uint16_t>((first - i) & 0x3FF);
        const unsigned shift = 56 - 8 * i;
        if (isWrite) {
            write(address, static_cast<std::uint8_t>(data >> shift));
        } else {
            answer |= std::uint64_t{read(address)} << shift;
        }
    }
    return isWrite ? data : answer;
}

std::uint8_t Ad9361::ensmState() const
{
    const std::uint8_t config = registers_[kEnsmConfig1];
    if ((config & kForceTxOn) != 0) {
        return (registers_[kEnsmMode] & kFddMode) != 0 ? kStateFdd : kStateTx;
    }
    if ((config & kForceRxOn) != 0) {
        return kStateRx;
    }
    return (config & (kForceAlert | kToAlert)) != 0 ? kStateAlert : kStateWait;
}

std::uint8_t Ad9361::read(std::uint16_t address) const
{
    switch (address) {
    case kProductId:
        return kProductAd9361;
    case kCalibrationControl:
        // A calibration runs while its bit is set and clears it when done.
        return faults_.calibrationNeverEnds ? registers_[address] : 0;
    case kState:
        return ensmState();
    case kBbpllStatus:
        return faults_.pllNeverLocks ? 0 : kBbpllLocked;
    case kRxCalibrationStatus:
    case kRxCalibrationStatus + kTxOffset:
        return kChargePumpCalibrated;
    case kRxVcoLock:
    case kRxVcoLock + kTxOffset:
        return faults_.pllNeverLocks ? 0 : kVcoLocked;
    case kRx1GainReadBack:
        return rxGainIndex(registers_, 0);
    case kRx2GainReadBack:
        return rxGainIndex(registers_, 1);
    case kTemperature:
        return kTemperatureCode;
    case kRx1RssiSymbol:
    case kRx1RssiSymbol + 1:
    case kRx1RssiSymbol + 2:
    case kRx1RssiSymbol + 3:
        return static_cast<std::uint8_t>(kRxRssiQuarterDb[(address - kRx1RssiSymbol) / 2] >> 1);
    case kRssiSymbolLsb:
    case kRssiPreambleLsb:
        return static_cast<std::uint8_t>((kRxRssiQuarterDb[0] & 1) | (kRxRssiQuarterDb[1] & 1) << 1);
    case kRxFastLockProgramRead:
    case kRxFastLockProgramRead + kTxOffset: {
        const std::uint8_t at = registers_[address - (kRxFastLockProgramRead - kRxFastLockProgramAddress)];
        return fastLock_[fastLockDirection(address)][(at >> 4) & 7][at & 0xF];
    }
    default:
        return registers_[address];
    }
}

void Ad9361::write(std::uint16_t address, std::uint8_t value)
{
    if (isTrim(address)) {
        return;
    }
    if (address == kSpiConfiguration && (value & kSoftReset) != 0) {
        reset();
        return;
    }
    registers_[address] = value;
    if ((address == kRxFastLockProgramControl || address == kRxFastLockProgramControl + kTxOffset) &&
        (value & kFastLockWrite) != 0) {
        // The program word the address names takes the data register's value.
        const std::uint8_t at = registers_[address - (kRxFastLockProgramControl - kRxFastLockProgramAddress)];
        fastLock_[fastLockDirection(address)][(at >> 4) & 7][at & 0xF] =
            registers_[address - (kRxFastLockProgramControl - kRxFastLockProgramData)];
    }
}

} // namespace veltrano::sim::usbbladerf
