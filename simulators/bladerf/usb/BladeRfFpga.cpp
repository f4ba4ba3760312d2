// SPDX-License-Identifier: MIT
#include "BladeRfFpga.h"

#include "BladeRfBus.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace veltrano::sim::usbbladerf {
namespace {

// Packet layouts of the NIOS II's command interface, by magic byte.
constexpr unsigned char kLegacyMagic = 'N';
constexpr unsigned char kRetuneMagic = 'T';
constexpr unsigned char kRetune2Magic = 'U'; // the 2.0 micro's: a stored RFIC profile
constexpr unsigned char kFlagWrite = 1u << 0;
constexpr unsigned char kFlagSuccess = 1u << 1;

// Legacy packets: byte 1 holds the direction, the device and the pair count.
constexpr unsigned char kLegacyWrite = 0x40;
constexpr unsigned kLegacyConfig = 0;
constexpr unsigned kLegacyLms = 1;
constexpr unsigned kLegacySi5338 = 3;

// Targets of the addressed formats.
constexpr std::uint8_t kTargetLms = 0;                 // 'A'
constexpr std::uint8_t kTargetSi5338 = 1;              // 'A'
constexpr std::uint8_t kTargetTamer = 2;               // 'A': the x40's VCTCXO tamer, its mode at 0xff
constexpr std::uint8_t kTargetTxTrigger = 3;           // 'A'
constexpr std::uint8_t kTargetRxTrigger = 4;           // 'A'
constexpr std::uint8_t kTargetAdf400x = 4;             // 'C': the micro's PLL, latches 0 to 3
constexpr std::uint8_t kTargetVersion = 0;             // 'C'
constexpr std::uint8_t kTargetControl = 1;             // 'C'
constexpr std::uint8_t kTargetTimestamp = 0;           // 'D'
constexpr std::uint8_t kTargetIna219 = 4;              // 'B': its reset bit clears at once
constexpr std::uint8_t kTargetRffe = 3;                // 'C'
constexpr std::uint8_t kTargetRfic = 1;                // 'E'
constexpr std::uint8_t kTargetAd9361 = 0;              // 'E': an SPI access of the chip
constexpr std::uint8_t kTargetExpansion = 0;           // 'K': the expansion GPIO, the address its mask
constexpr std::uint8_t kTargetExpansionDirections = 1; // 'K': its directions, likewise

// RFIC commands: address = command + channel × 256 (channel 0xF: none).
constexpr std::uint32_t kRficStatus = 0x00;
constexpr std::uint32_t kRficEnable = 0x02;
constexpr std::uint32_t kRficSampleRate = 0x03;
constexpr std::uint32_t kRficFrequency = 0x04;
constexpr std::uint32_t kRficBandwidth = 0x05;
constexpr std::uint32_t kRficRssi = 0x08;
constexpr std::uint32_t kRficNoChannel = 0xF;
// Names of the RFIC commands, by number, for the journal.
constexpr const char* kRficCommandNames[] = {"status",   "init", "enable", "samplerate", "frequency", "bandwidth",
                                             "gainmode", "gain", "rssi",   "filter",     "txmute",    "fastlock"};
// RFFE control bits that switch the bias tees on the receive and transmit ports.
constexpr unsigned kRffeRxBiasBit = 5;
constexpr unsigned kRffeTxBiasBit = 10;
// RFFE control bits: the RX front end, TX rather than RX, and per channel
// (RX0, TX0, RX1, TX1 from bit 15 on) whether it is enabled.
constexpr std::uint32_t kRffeEnable = 1u << 1;
constexpr std::uint32_t kRffeTxNotRx = 1u << 2;
constexpr unsigned kRffeFirstChannelBit = 15;
// RFFE control bit 19 is the PLL's MUXOUT pin, read only: its digital lock detect.
constexpr std::uint64_t kRffePllLocked = 1u << 19;
// The micro's configuration GPIO: the PLL's enable, the clock out, and the
// clock select (set: the clock input instead of the on-board oscillator).
constexpr std::uint32_t kControlPllEnable = 1u << 11;
constexpr std::uint32_t kControlClockOutput = 1u << 17;
constexpr std::uint32_t kControlClockSelect = 1u << 18;
// The micro's oscillator, which its PLL compares (divided by N) with the
// reference (divided by R).
constexpr std::uint64_t kVctcxoHz = 38'400'000;
// RFFE control bit 0 drives the AD9361's RESETB pin (low: held in reset).
constexpr std::uint64_t kRffeRficRunning = 1u << 0;
// The AD9361's synthesizer words, RX then TX: a write there ends a recalled profile.
constexpr std::uint16_t kSynthesizerWords[2][2] = {{0x231, 0x235}, {0x271, 0x275}};

// Retune packets.
constexpr std::uint64_t kRetuneClearQueue = ~std::uint64_t{0};
constexpr unsigned char kRetuneTx = 1u << 7;
constexpr unsigned char kRetuneLowBand = 1u << 7;
constexpr unsigned char kRetuneQuick = 1u << 6;
constexpr unsigned char kRetuneValid = 1u << 0;
constexpr unsigned char kRetuneSuccess = 1u << 1;

// The Si5338's VCO, and the multisynths that clock the RX and TX converters
// at twice the sample rate.
constexpr double kSi5338VcoHz = 38'400'000.0 * 66.0;
constexpr int kRxMultisynth = 1;
constexpr int kTxMultisynth = 2;

std::uint64_t littleEndian(const unsigned char* bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value |= std::uint64_t{bytes[i]} << (8 * i);
    }
    return value;
}

void storeLittleEndian(unsigned char* bytes, std::uint64_t value, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::string hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

const char* name(Direction direction)
{
    return direction == Direction::tx ? "tx" : "rx";
}

// Every trigger sits on the expansion header's one pin: libbladeRF accepts
// no other signal at the FPGA.
constexpr int kHeaderTriggerSignal = 0;

} // namespace

BladeRfFpga::BladeRfFpga(BladeRfKind kind, Journal& journal, const std::string& serial)
    : kind_(kind), journal_(journal), serial_(serial)
{
    for (const Direction direction : {Direction::rx, Direction::tx}) {
        bladerf::BoardTrigger& line = trigger(direction);
        line.serial = serial;
        line.clock = &clocks_[index(direction)];
        line.journal = &journal_;
    }
    reset();
}

BladeRfFpga::~BladeRfFpga()
{
    for (bladerf::BoardTrigger& line : triggers_) {
        bladeRfBus().triggerLine.leave(line);
    }
}

void BladeRfFpga::setSampleRate(Direction direction, double rateHz)
{
    SampleClock& clock = clocks_[index(direction)];
    if (!(rateHz > 0.0) || rateHz == clock.rateHz()) {
        return;
    }
    // A streaming direction's counter goes on from where it is at the new
    // pace, as the board's does; an idle one counts from the bus's start,
    // as every board on the bus at that rate does, so that equal ticks
    // there are equal instants.
    if (streaming_[index(direction)]) {
        clock.setRate(rateHz, Clock::now());
    } else {
        clock = SampleClock(bladeRfBus().start, rateHz);
    }
}

void BladeRfFpga::writeTrigger(Direction direction, std::uint8_t value, Clock::time_point now)
{
    bladerf::TriggerLine& line = bladeRfBus().triggerLine;
    const std::vector<bladerf::BoardTrigger> fired =
        line.writeControlRegister(trigger(direction), value, kHeaderTriggerSignal, now);
    for (const bladerf::BoardTrigger& board : fired) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(board.firedAt - bladeRfBus().start);
        board.journal->write("triggered at " + std::to_string(ns.count()) + " tick " + std::to_string(board.firedTick));
    }
}

void BladeRfFpga::writeControl(std::uint32_t value)
{
    const std::uint32_t clockBits = kControlPllEnable | kControlClockOutput | kControlClockSelect;
    if (kind_ == BladeRfKind::micro && ((control_ ^ value) & clockBits) != 0) {
        const auto bit = [&](std::uint32_t mask) { return (value & mask) != 0 ? std::string("1") : std::string("0"); };
        journal_.write("clock pll=" + bit(kControlPllEnable) +
                       " select=" + ((value & kControlClockSelect) != 0 ? "external" : "onboard") +
                       " out=" + bit(kControlClockOutput));
    }
    control_ = value;
    if (kind_ == BladeRfKind::micro) {
        bladeRfBus().clockOutputs.set(serial_, (value & kControlClockOutput) != 0);
    }
}

void BladeRfFpga::wireReference(std::uint64_t hz, const std::string& fromSerial)
{
    referenceHz_ = hz != 0 ? std::optional<std::uint64_t>(hz) : std::nullopt;
    referenceFrom_ = fromSerial;
}

bladerf::BoardClock BladeRfFpga::referenceClock() const
{
    bladerf::BoardClock clock;
    clock.externalReferenceHz = referenceHz_;
    clock.referenceFromSerial = referenceFrom_;
    if (kind_ != BladeRfKind::micro) {
        clock.tamerMode = static_cast<int>(stored('A', kTargetTamer, 0xff));
        clock.pllReferenceHz = 0;
        return clock;
    }
    clock.pllEnabled = (control_ & kControlPllEnable) != 0;
    clock.externalSelected = (control_ & kControlClockSelect) != 0;
    clock.clockOutput = (control_ & kControlClockOutput) != 0;
    // Latch 0 holds R in bits 2 to 15, latch 1 N in bits 8 to 20: the PLL
    // locks when reference / R equals oscillator / N.
    const std::uint64_t r = (stored('C', kTargetAdf400x, 0) >> 2) & 0x3fff;
    const std::uint64_t n = (stored('C', kTargetAdf400x, 1) >> 8) & 0x1fff;
    clock.pllReferenceHz = n == 0 ? 0 : r * kVctcxoHz / n;
    return clock;
}

bool BladeRfFpga::pllLocked() const
{
    return bladerf::pllLocked(referenceClock(),
                              [](const std::string& serial) { return bladeRfBus().clockOutputs.on(serial); });
}

void BladeRfFpga::reset()
{
    lms_.fill(0);
    si5338_.fill(0);
    control_ = 0;
    expansionGpio_ = 0;
    expansionDirections_ = 0;
    other_.clear();
    for (auto& clock : clocks_) {
        clock = SampleClock(bladeRfBus().start);
    }
    for (bladerf::BoardTrigger& line : triggers_) {
        bladeRfBus().triggerLine.arm(line, bladerf::TriggerRole::disabled, kHeaderTriggerSignal, 0, false);
    }
    if (kind_ == BladeRfKind::micro) {
        bladeRfBus().clockOutputs.set(serial_, false);
    }
    for (auto& queue : queues_) {
        queue.clear();
    }
    ad9361_.reset();
    rficDrivenByHost_ = false;
    journalledTuning_ = {};
    recalledHz_ = {};
}

void BladeRfFpga::handle(NiosPacket& packet, Clock::time_point now)
{
    serviceRetunes(now);
    if (kind_ == BladeRfKind::micro && packet[0] == 'E' && packet[1] == kTargetAd9361) {
        handleAd9361(packet);
        return;
    }
    journalRficChanges();
    switch (packet[0]) {
    case kLegacyMagic:
        handleLegacy(packet, now);
        break;
    case kRetuneMagic:
    case kRetune2Magic:
        handleRetune(packet, now);
        break;
    case 'A':
        handleAddressed(packet, 1, 1, now);
        break;
    case 'B':
        handleAddressed(packet, 1, 2, now);
        break;
    case 'C':
        handleAddressed(packet, 1, 4, now);
        break;
    case 'D':
        handleAddressed(packet, 1, 8, now);
        break;
    case 'E':
        handleAddressed(packet, 2, 8, now);
        break;
    case 'K':
        handleAddressed(packet, 4, 4, now);
        break;
    default:
        // An unknown magic comes back unanswered: no success flag.
        journal_.write("nios unknown magic " + hex(packet[0]));
        break;
    }
}

void BladeRfFpga::handleLegacy(NiosPacket& packet, Clock::time_point now)
{
    const bool write = (packet[1] & kLegacyWrite) != 0;
    const unsigned device = (packet[1] >> 4) & 3;
    const std::size_t count = std::min<std::size_t>(packet[1] & 7, (kNiosPacketBytes - 2) / 2);
    for (std::size_t pair = 0; pair < count; ++pair) {
        const std::uint8_t address = packet[2 + 2 * pair];
        unsigned char& data = packet[3 + 2 * pair];
        std::string line = "nios N device=" + std::to_string(device) + (write ? " write" : " read") +
                           " address=" + std::to_string(address);
        if (device == kLegacyConfig) {
            // The configuration space as bytes: control word, version, counters.
            if (address < 4) {
                if (write) {
                    control_ = (control_ & ~(0xffu << (8 * address))) | std::uint32_t{data} << (8 * address);
                } else {
                    data = static_cast<unsigned char>(control_ >> (8 * address));
                }
            } else if (address >= 12 && address < 16 && !write) {
                const unsigned char version[4] = {kVersion[0], kVersion[1], kVersion[2], 0};
                data = version[address - 12];
            } else if (address >= 16 && address < 32 && !write) {
                const Direction direction = address < 24 ? Direction::rx : Direction::tx;
                data = static_cast<unsigned char>(counter(direction, now) >> (8 * ((address - 16) % 8)));
            } else if (write) {
                other_[{'N', 0, address}] = data;
            } else {
                data = static_cast<unsigned char>(other_[{'N', 0, address}]);
            }
        } else {
            std::uint8_t* cell = nullptr;
            std::uint64_t* stored = nullptr;
            if (device == kLegacyLms) {
                cell = &lms_[address & 0x7f];
            } else if (device == kLegacySi5338) {
                cell = &si5338_[address];
            } else {
                stored = &other_[{'N', static_cast<std::uint8_t>(device), address}];
            }
            if (write && cell != nullptr) {
                *cell = data;
            } else if (write) {
                *stored = data;
            } else {
                data = cell != nullptr ? *cell : static_cast<unsigned char>(*stored);
            }
            if (device == kLegacySi5338 && write) {
                updateSampleRates();
            }
        }
        journal_.write(line + " value=" + hex(data));
    }
}

void BladeRfFpga::handleAddressed(NiosPacket& packet, std::size_t addressBytes, std::size_t dataBytes,
                                  Clock::time_point now)
{
    const char magic = static_cast<char>(packet[0]);
    const std::uint8_t target = packet[1];
    const bool write = (packet[2] & kFlagWrite) != 0;
    const auto address = static_cast<std::uint32_t>(littleEndian(&packet[4], addressBytes));
    unsigned char* data = &packet[4 + addressBytes];
    std::uint64_t value = littleEndian(data, dataBytes);
    if (write) {
        this->write(magic, target, address, value, now);
    } else {
        value = read(magic, target, address, now);
        storeLittleEndian(data, value, dataBytes);
    }
    packet[2] |= kFlagSuccess;
    journal_.write(std::string("nios ") + magic + " target=" + std::to_string(target) + (write ? " write" : " read") +
                   " address=" + hex(address) + " value=" + hex(value));
}

std::uint64_t BladeRfFpga::read(char magic, std::uint8_t target, std::uint32_t address, Clock::time_point now)
{
    if (magic == 'A' && target == kTargetLms) {
        return lms_[address & 0x7f];
    }
    if (magic == 'A' && target == kTargetSi5338) {
        return si5338_[address & 0xff];
    }
    if (magic == 'C' && target == kTargetVersion) {
        return std::uint32_t{kVersion[0]} << 24 | std::uint32_t{kVersion[1]} << 16 | kVersion[2];
    }
    if (magic == 'C' && target == kTargetControl) {
        return control_;
    }
    if (magic == 'A' && (target == kTargetTxTrigger || target == kTargetRxTrigger)) {
        return bladeRfBus().triggerLine.controlRegister(
            trigger(target == kTargetTxTrigger ? Direction::tx : Direction::rx));
    }
    if (kind_ == BladeRfKind::micro && magic == 'C' && target == kTargetRffe) {
        const std::uint64_t rffe = other_[{magic, target, address}] & ~kRffePllLocked;
        return pllLocked() ? rffe | kRffePllLocked : rffe;
    }
    if (magic == 'D' && target == kTargetTimestamp) {
        return counter(address == 0 ? Direction::rx : Direction::tx, now);
    }
    if (kind_ == BladeRfKind::micro && magic == 'E' && target == kTargetRfic &&
        address == (kRficNoChannel << 8 | kRficStatus)) {
        // Initialised, and no command waiting in the queue: the NIOS II runs them at once.
        return 1;
    }
    if (kind_ == BladeRfKind::micro && magic == 'E' && target == kTargetRfic && (address & 0xff) == kRficRssi) {
        return rficRssiCommand((address >> 8) & 0xf);
    }
    if (kind_ == BladeRfKind::x40 && magic == 'K' &&
        (target == kTargetExpansion || target == kTargetExpansionDirections)) {
        return (target == kTargetExpansion ? expansionGpio_ : expansionDirections_) & address;
    }
    const std::uint64_t value = other_[{magic, target, address}];
    if (magic == 'B' && target == kTargetIna219 && address == 0) {
        return value & ~std::uint64_t{0x8000};
    }
    return value;
}

void BladeRfFpga::write(char magic, std::uint8_t target, std::uint32_t address, std::uint64_t value,
                        Clock::time_point now)
{
    if (magic == 'A' && target == kTargetLms) {
        lms_[address & 0x7f] = static_cast<std::uint8_t>(value);
    } else if (magic == 'A' && target == kTargetSi5338) {
        si5338_[address & 0xff] = static_cast<std::uint8_t>(value);
        updateSampleRates();
    } else if (magic == 'C' && target == kTargetControl) {
        writeControl(static_cast<std::uint32_t>(value));
    } else if (kind_ == BladeRfKind::micro && magic == 'C' && target == kTargetAdf400x) {
        // Every write goes to address 0 and names its latch in the data's low
        // two bits, as the chip's serial word does; reads address the latch.
        other_[{magic, target, static_cast<std::uint32_t>(value & 3)}] = value;
    } else if (magic == 'A' && (target == kTargetTxTrigger || target == kTargetRxTrigger)) {
        writeTrigger(target == kTargetTxTrigger ? Direction::tx : Direction::rx, static_cast<std::uint8_t>(value), now);
    } else if (kind_ == BladeRfKind::x40 && magic == 'K' &&
               (target == kTargetExpansion || target == kTargetExpansionDirections)) {
        writeExpansion(target, address, static_cast<std::uint32_t>(value));
    } else if (kind_ == BladeRfKind::micro && magic == 'E' && target == kTargetRfic) {
        other_[{magic, target, address}] = value;
        const std::uint32_t command = address & 0xff;
        const std::uint32_t channel = (address >> 8) & 0xf;
        if (channel < 4 && (command == kRficSampleRate || command == kRficFrequency || command == kRficBandwidth)) {
            // Both channels of a direction share the AD9361's clocks, its LO
            // and its filter: the other channel reads the same.
            other_[{magic, target, (channel ^ 2) << 8 | command}] = value;
        }
        rficCommand(address, value);
    } else if (kind_ == BladeRfKind::micro && magic == 'C' && target == kTargetRffe) {
        std::uint64_t& rffe = other_[{magic, target, address}];
        const auto bias = [](std::uint64_t word, unsigned bit) { return std::to_string((word >> bit) & 1); };
        if (((rffe ^ value) & (1u << kRffeRxBiasBit | 1u << kRffeTxBiasBit)) != 0) {
            journal_.write("bias-tee rx=" + bias(value, kRffeRxBiasBit) + " tx=" + bias(value, kRffeTxBiasBit));
        }
        if ((value & kRffeRficRunning) == 0) {
            ad9361_.reset();
        }
        rffe = value;
    } else {
        other_[{magic, target, address}] = value;
    }
}

void BladeRfFpga::handleRetune(NiosPacket& packet, Clock::time_point now)
{
    const bool profile = packet[0] == kRetune2Magic;
    const std::uint64_t timestamp = littleEndian(&packet[1], 8);
    Retune retune{};
    retune.timestamp = timestamp;
    Direction direction = Direction::rx;
    if (profile) {
        // Bytes 9 and 10: the NIOS II's profile, 11 the RFFE's, 12 the port (bit 7: RX).
        retune.nint = static_cast<std::uint16_t>(littleEndian(&packet[9], 2));
        retune.freqsel = packet[11];
        retune.quick = true;
        direction = (packet[12] & 0x80) != 0 ? Direction::rx : Direction::tx;
    } else {
        retune.nint = static_cast<std::uint16_t>(packet[9] << 1 | packet[10] >> 7);
        retune.nfrac = static_cast<std::uint32_t>((packet[10] & 0x7f) << 16 | packet[11] << 8 | packet[12]);
        retune.freqsel = packet[13] & 0x3f;
        retune.vcocap = packet[14] & 0x3f;
        retune.lowBand = (packet[14] & kRetuneLowBand) != 0;
        retune.quick = (packet[14] & kRetuneQuick) != 0;
        retune.xbGpio = packet[15];
        direction = (packet[13] & kRetuneTx) != 0 ? Direction::tx : Direction::rx;
    }
    auto& queue = queues_[index(direction)];

    bool success = true;
    if (timestamp == kRetuneClearQueue) {
        queue.clear();
        journal_.write(std::string("nios T clear ") + name(direction));
    } else if (timestamp == 0 || timestamp <= counter(direction, now)) {
        apply(direction, retune, counter(direction, now));
    } else if (queue.size() >= kRetuneQueueDepth) {
        success = false;
        journal_.write(std::string("nios T ") + name(direction) + " queue full at " + std::to_string(timestamp));
    } else {
        // Kept in time order, so the earliest is always at the front.
        const auto later = std::find_if(queue.begin(), queue.end(),
                                        [&](const Retune& queued) { return queued.timestamp > timestamp; });
        queue.insert(later, retune);
        journal_.write(std::string("nios T ") + name(direction) + " scheduled at " + std::to_string(timestamp));
    }
    const unsigned char magic = packet[0];
    const unsigned char flags = success ? (kRetuneValid | kRetuneSuccess) : 0;
    packet.fill(0);
    packet[0] = magic;
    if (profile) {
        packet[9] = flags;
    } else {
        packet[9] = retune.vcocap;
        packet[10] = flags;
    }
}

void BladeRfFpga::serviceRetunes(Clock::time_point now)
{
    for (const Direction direction : {Direction::rx, Direction::tx}) {
        auto& queue = queues_[index(direction)];
        const std::uint64_t reached = counter(direction, now);
        while (!queue.empty() && queue.front().timestamp <= reached) {
            // The FPGA applied it the moment its counter got there.
            apply(direction, queue.front(), queue.front().timestamp);
            queue.pop_front();
        }
    }
}

// As the FPGA's tuning logic writes them: the PLL's integer and fractional
// words, the frequency select with the band's output, and the VCO capacitor.
void BladeRfFpga::apply(Direction direction, const Retune& retune, std::uint64_t appliedAt)
{
    const std::size_t base = direction == Direction::tx ? 0x10 : 0x20;
    if (kind_ == BladeRfKind::micro) {
        // The profile's tuning lives in the AD9361's fast-lock store (the
        // RFFE's profile, which the packet names beside the NIOS II's).
        const auto& words = ad9361_.fastLockStore()[index(direction)][retune.freqsel & 7];
        const std::uint16_t nint = static_cast<std::uint16_t>((words[1] & 7u) << 8 | words[0]);
        const std::uint32_t nfrac = static_cast<std::uint32_t>((words[4] & 0x7Fu) << 16 | words[3] << 8 | words[2]);
        applied_.push_back({direction, appliedAt, retune.timestamp, nint, nfrac, 0, 0, true});
        std::string line = std::string("retune ") + name(direction) + " " + std::to_string(appliedAt) +
                           " requested=" + std::to_string(retune.timestamp) + " profile=" + std::to_string(retune.nint);
        if (rficDrivenByHost_) {
            recalledHz_[index(direction)] = fastLockFrequencyHz(ad9361_.registers(), words, direction == Direction::tx);
            line += " frequency=" + std::to_string(recalledHz_[index(direction)]);
        }
        journal_.write(line + " quick=1");
        return;
    }
    lms_[base + 0] = static_cast<std::uint8_t>(retune.nint >> 1);
    lms_[base + 1] = static_cast<std::uint8_t>((retune.nint & 1) << 7 | ((retune.nfrac >> 16) & 0x7f));
    lms_[base + 2] = static_cast<std::uint8_t>(retune.nfrac >> 8);
    lms_[base + 3] = static_cast<std::uint8_t>(retune.nfrac);
    lms_[base + 5] = static_cast<std::uint8_t>(retune.freqsel << 2 | (retune.lowBand ? 1 : 2));
    lms_[base + 9] = static_cast<std::uint8_t>((lms_[base + 9] & 0xc0) | retune.vcocap);
    applyRetuneSwitches(retune.xbGpio);
    applied_.push_back({direction, appliedAt, retune.timestamp, retune.nint, retune.nfrac, retune.freqsel,
                        retune.vcocap, retune.quick});
    journal_.write(std::string("retune ") + name(direction) + " " + std::to_string(appliedAt) +
                   " requested=" + std::to_string(retune.timestamp) + " nint=" + std::to_string(retune.nint) +
                   " nfrac=" + std::to_string(retune.nfrac) + " freqsel=" + hex(retune.freqsel) +
                   " vcocap=" + std::to_string(retune.vcocap) + " quick=" + (retune.quick ? "1" : "0"));
}

const AppliedRetune* BladeRfFpga::tuningAt(Direction direction, std::uint64_t count) const
{
    // Newest first: a board reset starts the counters afresh, and the
    // retunes since then are the last ones applied.
    for (auto retune = applied_.rbegin(); retune != applied_.rend(); ++retune) {
        if (retune->direction == direction && retune->appliedAt <= count) {
            return &*retune;
        }
    }
    return nullptr;
}

std::uint64_t BladeRfFpga::stored(char magic, std::uint8_t target, std::uint32_t address) const
{
    const auto found = other_.find({magic, target, address});
    return found == other_.end() ? 0 : found->second;
}

unsigned BladeRfFpga::enabledChannels(Direction direction) const
{
    const std::uint64_t rffe = stored('C', kTargetRffe, 0);
    // RX0, TX0, RX1, TX1: a direction's channel c is bit 15 + 2c + direction.
    unsigned mask = 0;
    for (unsigned channel = 0; channel < 2; ++channel) {
        if ((rffe >> (kRffeFirstChannelBit + 2 * channel + index(direction)) & 1) != 0) {
            mask |= 1u << channel;
        }
    }
    return mask;
}

void BladeRfFpga::rficCommand(std::uint32_t address, std::uint64_t value)
{
    const std::uint32_t command = address & 0xff;
    const std::uint32_t channel = (address >> 8) & 0xf;
    const Direction direction = channel % 2 == 1 ? Direction::tx : Direction::rx;
    if (command < std::size(kRficCommandNames) && command != kRficStatus) {
        // Decoded, so a test reads "rfic gain rx0 40" rather than a packet.
        const std::string where = channel < 4 ? std::string(name(direction)) + std::to_string(channel / 2) : "all";
        journal_.write(std::string("rfic ") + kRficCommandNames[command] + " " + where + " " +
                       std::to_string(static_cast<std::int64_t>(value)));
    }
    if (command == kRficSampleRate && channel < 4) {
        setSampleRate(direction, static_cast<double>(value));
    } else if (command == kRficEnable && channel < 4) {
        // The NIOS II keeps the RF front end's control word in step.
        std::uint64_t& rffe = other_[{'C', kTargetRffe, 0}];
        const std::uint64_t bit = std::uint64_t{1} << (kRffeFirstChannelBit + channel);
        rffe = value != 0 ? rffe | bit : rffe & ~bit;
        const std::uint64_t rxChannels = std::uint64_t{5} << kRffeFirstChannelBit;
        const std::uint64_t txChannels = std::uint64_t{10} << kRffeFirstChannelBit;
        rffe = (rffe & rxChannels) != 0 ? rffe | kRffeEnable : rffe & ~std::uint64_t{kRffeEnable};
        rffe = (rffe & txChannels) != 0 ? rffe | kRffeTxNotRx : rffe & ~std::uint64_t{kRffeTxNotRx};
    }
}

std::uint64_t BladeRfFpga::rficRssiCommand(std::uint32_t channel) const
{
    // The NIOS II packs a multiplier and the two readings, 16 bits each: the
    // receive ones in hundredths of a dB with -100, a transmitter's in
    // thousandths with -1000 (it reads none here).
    const auto packed = [](std::int16_t multiplier, std::int16_t preamble, std::int16_t symbol) {
        return std::uint64_t{static_cast<std::uint16_t>(multiplier)} << 32 |
               std::uint64_t{static_cast<std::uint16_t>(preamble)} << 16 | static_cast<std::uint16_t>(symbol);
    };
    if (channel % 2 == 1) {
        return packed(-1000, 0, 0);
    }
    const auto hundredths = static_cast<std::int16_t>(25 * Ad9361::kRxRssiQuarterDb[(channel / 2) & 1]);
    return packed(-100, hundredths, hundredths);
}

void BladeRfFpga::handleAd9361(NiosPacket& packet)
{
    const auto command = static_cast<std::uint16_t>(littleEndian(&packet[4], 2));
    const std::uint64_t data = ad9361_.transfer(command, littleEndian(&packet[6], 8));
    storeLittleEndian(&packet[6], data, 8);
    packet[2] |= kFlagSuccess;
    if ((command & 0x8000) == 0) {
        return;
    }
    rficDrivenByHost_ = true;
    const unsigned first = command & 0x3FF;
    const unsigned last = first + 1 - (((command >> 12) & 7) + 1);
    for (const Direction direction : {Direction::rx, Direction::tx}) {
        const auto& words = kSynthesizerWords[index(direction)];
        if (last <= words[1] && first >= words[0]) {
            recalledHz_[index(direction)] = 0;
        }
    }
    // The converters follow the clock tree at once, as the chip's do.
    const Ad9361Tuning tuning = decodeTuning(ad9361_.registers());
    setSampleRate(Direction::rx, static_cast<double>(tuning.rx.sampleRateHz));
    setSampleRate(Direction::tx, static_cast<double>(tuning.tx.sampleRateHz));
}

Ad9361Tuning BladeRfFpga::rficTuning() const
{
    Ad9361Tuning tuning = decodeTuning(ad9361_.registers());
    for (const Direction direction : {Direction::rx, Direction::tx}) {
        if (recalledHz_[index(direction)] != 0) {
            (direction == Direction::tx ? tuning.tx : tuning.rx).frequencyHz = recalledHz_[index(direction)];
        }
    }
    return tuning;
}

void BladeRfFpga::journalRficChanges()
{
    if (!rficDrivenByHost_) {
        return;
    }
    const Ad9361Tuning tuning = rficTuning();
    if (!(tuning.rx == journalledTuning_.rx)) {
        journal_.write("ad9361 rx " + describe(tuning.rx));
    }
    if (!(tuning.tx == journalledTuning_.tx)) {
        journal_.write("ad9361 tx " + describe(tuning.tx));
    }
    journalledTuning_ = tuning;
}

void BladeRfFpga::updateSampleRates()
{
    if (kind_ == BladeRfKind::micro) {
        return; // the AD9361 makes its own clocks
    }
    setSampleRate(Direction::rx, multisynthRateHz(kRxMultisynth));
    setSampleRate(Direction::tx, multisynthRateHz(kTxMultisynth));
}

// The multisynth divides the VCO by a + b/c (packed as P1, P2, P3 from
// register 53 + 11 × index on) and its R divider (register 31 + index); the
// converters run at twice the sample rate.
double BladeRfFpga::multisynthRateHz(int multisynth) const
{
    const std::size_t base = 53 + 11 * static_cast<std::size_t>(multisynth);
    const auto r = [&](std::size_t offset) { return std::uint64_t{si5338_[base + offset]}; };
    const std::uint64_t p1 = r(0) | r(1) << 8 | (r(2) & 3) << 16;
    const std::uint64_t p2 = r(2) >> 2 | r(3) << 6 | r(4) << 14 | (r(5) & 0x3f) << 22;
    const std::uint64_t p3 = r(6) | r(7) << 8 | r(8) << 16 | (r(9) & 0x3f) << 24;
    const std::uint64_t divider = std::uint64_t{1} << ((si5338_[31 + static_cast<std::size_t>(multisynth)] >> 2) & 7);
    if (p3 == 0) {
        return 0.0;
    }
    // a + b/c = ((P1 + 512) × P3 + P2) / (128 × P3)
    const double ratio = static_cast<double>((p1 + 512) * p3 + p2) / (128.0 * static_cast<double>(p3));
    return kSi5338VcoHz / (static_cast<double>(divider) * ratio * 2.0);
}

namespace {

// The XB-200's bits in the expansion GPIO, as libbladeRF and the NIOS II use them.
constexpr std::uint32_t kXbRxPathShift = 4;    // 1: through the mixer, 2: bypassed
constexpr std::uint32_t kXbTxPathShift = 2;    // likewise
constexpr std::uint32_t kXbRxFilterShift = 28; // 0 50M, 1 144M, 2 222M, 3 custom
constexpr std::uint32_t kXbTxFilterShift = 26;
constexpr std::uint32_t kXbRxEnable = 0x2000;
constexpr std::uint32_t kXbTxEnable = 0x1000;
constexpr std::uint32_t kXbSwitches = 3u << kXbRxPathShift | 3u << kXbTxPathShift | 3u << kXbRxFilterShift |
                                      3u << kXbTxFilterShift | kXbRxEnable | kXbTxEnable;
// The retune packet's XB-200 byte.
constexpr std::uint8_t kRetuneXbEnable = 1u << 7;
constexpr std::uint8_t kRetuneXbRx = 1u << 6;
constexpr unsigned kRetuneXbFilterShift = 4;
constexpr unsigned kRetuneXbPathShift = 2;
// The LMS6002D register whose bits swap a chain's path for the mixer.
constexpr std::uint8_t kLmsSwapRegister = 0x5a;
constexpr std::uint8_t kLmsRxSwap = 0x40;
constexpr std::uint8_t kLmsTxSwap = 0x08;

std::string xbPathName(std::uint32_t bits)
{
    return bits == 1 ? "mix" : bits == 2 ? "bypass" : "none";
}

std::string xbFilterName(std::uint32_t bits)
{
    static const char* const names[] = {"50M", "144M", "222M", "custom"};
    return names[bits & 3];
}

} // namespace

void BladeRfFpga::writeExpansion(std::uint8_t target, std::uint32_t mask, std::uint32_t value)
{
    std::uint32_t& word = target == kTargetExpansion ? expansionGpio_ : expansionDirections_;
    const std::uint32_t before = word;
    word = (word & ~mask) | (value & mask);
    if (target == kTargetExpansion && ((before ^ word) & kXbSwitches) != 0) {
        journal_.write("xb200 rx path=" + xbPathName((word >> kXbRxPathShift) & 3) + " filter=" +
                       xbFilterName(word >> kXbRxFilterShift) + " tx path=" + xbPathName((word >> kXbTxPathShift) & 3) +
                       " filter=" + xbFilterName(word >> kXbTxFilterShift));
    }
}

void BladeRfFpga::applyRetuneSwitches(std::uint8_t xbGpio)
{
    if ((xbGpio & kRetuneXbEnable) == 0) {
        return;
    }
    const bool rx = (xbGpio & kRetuneXbRx) != 0;
    const std::uint32_t filter = (xbGpio >> kRetuneXbFilterShift) & 3;
    const std::uint32_t path = (xbGpio >> kRetuneXbPathShift) & 3;
    const std::uint32_t filterShift = rx ? kXbRxFilterShift : kXbTxFilterShift;
    const std::uint32_t pathShift = rx ? kXbRxPathShift : kXbTxPathShift;
    writeExpansion(kTargetExpansion, 3u << filterShift | 3u << pathShift | (rx ? kXbRxEnable : kXbTxEnable),
                   filter << filterShift | path << pathShift | (rx ? kXbRxEnable : kXbTxEnable));
    const std::uint8_t swap = rx ? kLmsRxSwap : kLmsTxSwap;
    std::uint8_t& swaps = lms_[kLmsSwapRegister];
    swaps = static_cast<std::uint8_t>((path & 1) != 0 ? swaps | swap : swaps & ~swap);
}

} // namespace veltrano::sim::usbbladerf
