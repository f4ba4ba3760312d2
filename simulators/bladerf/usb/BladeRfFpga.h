// SPDX-License-Identifier: MIT
#pragma once

// A bladeRF's FPGA as the host library reaches it through 16-byte NIOS II
// packets: the LMS6002D and Si5338 register files, the configuration GPIO
// word, the VCTCXO DAC and other peripherals, the RX and TX sample counters,
// and the retune queues that apply a tuning to the LMS registers at once or
// when a direction's counter reaches a timestamp; on the 2.0 micro the RFIC
// commands, which the NIOS II carries out at once, or in the library's host
// tuning mode the AD9361's own SPI accesses (Ad9361.h), from whose registers
// the sample clocks take their rate. Its sample counters count from the
// bus's start (BladeRfBus.h) at the rate in force; each direction's trigger
// control register drives the bus's trigger line; the 2.0 micro's PLL locks
// to the reference wired to its clock input. Not thread-safe: the board calls
// it under the USB engine's lock.

#include "Ad9361.h"
#include "Ad9361Tuning.h"
#include "bladerf/model/BladeRfSyncState.h"
#include "bladerf/model/BladeRfKind.h"
#include "common/SampleClock.h"
#include "common/SimJournal.h"
#include "usb-engine/UsbBoardModel.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace veltrano::sim::usbbladerf {

using usb::Clock;

inline constexpr std::size_t kNiosPacketBytes = 16;
using NiosPacket = std::array<unsigned char, kNiosPacketBytes>;

enum class Direction { rx = 0, tx = 1 };

using bladerf::BladeRfKind;

// A retune the FPGA applied: which direction, the counter value at which it
// took effect, the timestamp it asked for (0: at once) and the tuning words.
struct AppliedRetune {
    Direction direction;
    std::uint64_t appliedAt;
    std::uint64_t requestedAt;
    std::uint16_t nint;
    std::uint32_t nfrac;
    std::uint8_t freqsel;
    std::uint8_t vcocap;
    bool quick;
};

class BladeRfFpga {
public:
    // The version the FPGA reports: one libbladeRF 2.4 knows.
    static constexpr std::uint8_t kVersion[3] = {0, 14, 0};
    // The FPGA holds this many scheduled retunes per direction.
    static constexpr std::size_t kRetuneQueueDepth = 16;
    // Configuration GPIO bit: sample messages carry a timestamp header.
    static constexpr std::uint32_t kTimestampsEnabled = 1u << 16;

    // The board's serial names it on the trigger line and among the clock outs.
    BladeRfFpga(BladeRfKind kind, Journal& journal, const std::string& serial);
    ~BladeRfFpga();
    BladeRfFpga(const BladeRfFpga&) = delete;
    BladeRfFpga& operator=(const BladeRfFpga&) = delete;

    // Answers one packet in place, as the NIOS II would on endpoint 0x82.
    void handle(NiosPacket& packet, Clock::time_point now);
    // Applies every queued retune whose timestamp the counters have reached.
    void serviceRetunes(Clock::time_point now);

    const SampleClock& clock(Direction direction) const { return clocks_[index(direction)]; }
    std::uint64_t counter(Direction direction, Clock::time_point now) const { return clock(direction).countAt(now); }
    bool timestampsEnabled() const { return (control_ & kTimestampsEnabled) != 0; }
    // Whether the host has the direction's stream enabled: a rate change
    // then keeps the count going.
    void setStreaming(Direction direction, bool streaming) { streaming_[index(direction)] = streaming; }
    std::uint32_t control() const { return control_; }
    std::uint8_t lmsRegister(std::uint8_t address) const { return lms_[address & 0x7f]; }
    const std::vector<AppliedRetune>& appliedRetunes() const { return applied_; }
    // The retune a direction's sample at this counter value was made with:
    // the latest one applied at or before it (null before the first).
    const AppliedRetune* tuningAt(Direction direction, std::uint64_t count) const;
    // What the host last wrote to a peripheral register (0 if nothing), e.g.
    // the 2.0 micro's RF front-end control word ('C', 3, 0) or an RFIC
    // command's value ('E', 1, command + 256 × channel).
    std::uint64_t stored(char magic, std::uint8_t target, std::uint32_t address) const;
    // The 2.0 micro's channels of a direction its RF front-end control word
    // enables, one bit each (bit 0 channel 0, bit 1 channel 1), as the FPGA
    // streams them.
    unsigned enabledChannels(Direction direction) const;
    // The x40's expansion port (an XB-200 on it): the GPIO word and its directions.
    std::uint32_t expansionGpio() const { return expansionGpio_; }
    std::uint32_t expansionDirections() const { return expansionDirections_; }

    // A board reset: registers start afresh and the triggers disarm; the
    // counters, on the bus's clock, run on.
    void reset();

    // A direction's trigger, armed or held as its control register says.
    bladerf::BoardTrigger& trigger(Direction direction) { return triggers_[index(direction)]; }
    const bladerf::BoardTrigger& trigger(Direction direction) const { return triggers_[index(direction)]; }
    // What is wired to the clock input: a reference of this frequency (0:
    // none) or the clock out of the board with this serial (empty: none).
    void wireReference(std::uint64_t hz, const std::string& fromSerial);
    // The micro's clock as its registers and wiring stand: the PLL enable,
    // the reference the PLL was told (from its R and N counters), the clock
    // select, the clock out; the x40's VCTCXO tamer mode.
    bladerf::BoardClock referenceClock() const;
    bool pllLocked() const;

    // Whether the host drives the micro's AD9361 itself (it has written to
    // the chip since the board's reset), and what the chip's registers put in
    // force then, with the LO a quick retune recalled.
    bool rficDrivenByHost() const { return rficDrivenByHost_; }
    Ad9361Tuning rficTuning() const;
    const Ad9361::Registers& ad9361Registers() const { return ad9361_.registers(); }
    void setRficFaults(const Ad9361::Faults& faults) { ad9361_.setFaults(faults); }
    // Journals what the AD9361 traffic since the last call changed, one line
    // per direction: a library call's thousands of register accesses become
    // one summary. Called when the host turns to anything but the chip, and
    // by the inspection functions.
    void journalRficChanges();

private:
    struct Retune {
        std::uint64_t timestamp;
        std::uint16_t nint;
        std::uint32_t nfrac;
        std::uint8_t freqsel;
        std::uint8_t vcocap;
        bool lowBand;
        bool quick;
        std::uint8_t xbGpio; // the XB-200 switches the retune sets, as libbladeRF packs them
    };
    static std::size_t index(Direction direction) { return static_cast<std::size_t>(direction); }

    void handleLegacy(NiosPacket& packet, Clock::time_point now);
    void handleRetune(NiosPacket& packet, Clock::time_point now);
    // The addressed formats: (address, data) widths in bytes.
    void handleAddressed(NiosPacket& packet, std::size_t addressBytes, std::size_t dataBytes, Clock::time_point now);
    std::uint64_t read(char magic, std::uint8_t target, std::uint32_t address, Clock::time_point now);
    void write(char magic, std::uint8_t target, std::uint32_t address, std::uint64_t value, Clock::time_point now);
    void apply(Direction direction, const Retune& retune, std::uint64_t appliedAt);
    // A masked write of the expansion GPIO or its directions (any mask:
    // the bits outside it keep their values); journals the XB-200's switches
    // when they change.
    void writeExpansion(std::uint8_t target, std::uint32_t mask, std::uint32_t value);
    // The XB-200 switches a retune carries, set as the NIOS II sets them.
    void applyRetuneSwitches(std::uint8_t xbGpio);
    // Follows the Si5338 multisynths that clock the LMS6002D's converters.
    void updateSampleRates();
    double multisynthRateHz(int multisynth) const;
    // An RFIC command written to the 2.0 micro's NIOS II.
    void rficCommand(std::uint32_t address, std::uint64_t value);
    // What the NIOS II answers a channel's RSSI command with (channel: 0 RX1, 1 TX1, 2 RX2, 3 TX2).
    std::uint64_t rficRssiCommand(std::uint32_t channel) const;
    // The rate a direction's counter runs at from now on: the count is then
    // that rate times the time since the bus started.
    void setSampleRate(Direction direction, double rateHz);
    // A write of the configuration GPIO, and of a trigger control register.
    void writeControl(std::uint32_t value);
    void writeTrigger(Direction direction, std::uint8_t value, Clock::time_point now);
    // One SPI access of the AD9361, carried in a 16x64 packet.
    void handleAd9361(NiosPacket& packet);

    BladeRfKind kind_;
    Journal& journal_;
    std::string serial_;
    std::array<bladerf::BoardTrigger, 2> triggers_;
    std::optional<std::uint64_t> referenceHz_;
    std::string referenceFrom_;
    std::array<std::uint8_t, 128> lms_{};
    std::array<std::uint8_t, 256> si5338_{};
    std::uint32_t control_ = 0;
    std::uint32_t expansionGpio_ = 0;
    std::uint32_t expansionDirections_ = 0;
    // Every other peripheral register reads back what was last written.
    std::map<std::tuple<char, std::uint8_t, std::uint32_t>, std::uint64_t> other_;
    std::array<SampleClock, 2> clocks_{};
    std::array<bool, 2> streaming_{};
    std::array<std::deque<Retune>, 2> queues_{};
    std::vector<AppliedRetune> applied_;
    Ad9361 ad9361_;
    bool rficDrivenByHost_ = false;
    Ad9361Tuning journalledTuning_;
    // The LO each direction's last quick retune recalled from a fast-lock
    // profile (0: the synthesizer registers rule), until the host tunes anew.
    std::array<std::uint64_t, 2> recalledHz_{};
};

} // namespace veltrano::sim::usbbladerf
