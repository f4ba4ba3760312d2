// SPDX-License-Identifier: MIT
#pragma once

// A bladeRF x40 (bladeRF1, LMS6002D) as its USB interface shows it to
// libbladeRF: the identity in its descriptors, the FX3 firmware's vendor
// requests, the FPGA's NIOS II packets on the peripheral endpoints, and the
// sample endpoints, paced by the FPGA's sample counters. On the 2.0 micro a
// direction streams the channels its RF front-end control word enables, one
// or both. A direction whose trigger is armed moves nothing until the bus's
// trigger line fires, then starts at the tick it fired at. Not thread-safe:
// the USB engine calls it under its own lock.

#include "BladeRfFpga.h"

#include "common/TimedBurstTimeline.h"
#include "usb-engine/UsbBoardModel.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrano::sim::usbbladerf {

inline constexpr std::uint16_t kVendorId = 0x2cf0;
inline constexpr std::uint16_t kProductId = 0x5246;      // bladeRF1
inline constexpr std::uint16_t kMicroProductId = 0x5250; // bladeRF 2.0 micro
inline constexpr unsigned char kSamplesIn = 0x81;
inline constexpr unsigned char kSamplesOut = 0x01;
inline constexpr unsigned char kPeripheralIn = 0x82;
inline constexpr unsigned char kPeripheralOut = 0x02;
// SuperSpeed sample messages; with timestamps each starts with a header.
// The payload's 508 words are 508 samples of one channel or 254 pairs of
// two (I0 Q0 I1 Q1), and a message's timestamp advances by sample periods.
inline constexpr std::size_t kMessageBytes = 2048;
inline constexpr std::size_t kHeaderBytes = 16;
inline constexpr std::size_t kWordsPerMessage = (kMessageBytes - kHeaderBytes) / 4;

// The serial of the bladeRF on a bus of one, unless its variables name another.
inline constexpr const char* kDefaultSerial = "7a3c91e0d25b4f86a1c0e9d3b74f2a55";
// The second bladeRF's on a bus of two.
inline constexpr const char* kSecondSerial = "d4e1b09c6a2f4753b8e0c91f27a6d3e8";

using usb::ControlRequest;

class UsbBladeRfBoard : public usb::UsbBoardModel {
public:
    // Its settings come from the variables named by the prefix
    // (VELTRANO_USB_BLADERF on a bus of one): the serial from <prefix>_SERIAL
    // (else defaultSerial); the journal goes to <prefix>_JOURNAL, transmitted
    // samples to <prefix>_TX_CAPTURE; <prefix>_UNPLUG_AFTER_BYTES and
    // _UNPLUG_AFTER_LISTINGS plan its unplug; <prefix>_REFERENCE_HZ wires a
    // reference of that frequency to its clock input, <prefix>_REFERENCE_FROM
    // the clock out of the board with that serial.
    UsbBladeRfBoard(BladeRfKind kind, const std::string& prefix, const char* defaultSerial);

    usb::UsbIdentity identity() const override;
    std::string stringDescriptor(std::uint8_t index) const override;
    int control(const ControlRequest& request) override;
    void reset() override;
    void selectAlternateSetting(int setting) override;
    int bulk(unsigned char endpoint, unsigned char* data, std::size_t length) override;

    bool endpointActive(unsigned char endpoint) const override;
    Clock::time_point dueAt(unsigned char endpoint, std::size_t length, Clock::time_point now) override;
    std::size_t complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                         Clock::time_point now) override;

    // Counted in sample periods: a pair of a two-channel stream is one.
    std::uint64_t rxSamplesDelivered() const { return rxDelivered_; }
    std::uint64_t rxSamplesDropped() const { return rxDropped_; }
    std::uint64_t txSamplesReceived() const { return txReceived_; }
    const std::vector<AppliedRetune>& appliedRetunes() const { return fpga_.appliedRetunes(); }
    const AppliedRetune* tuningAt(Direction direction, std::uint64_t count) const
    {
        return fpga_.tuningAt(direction, count);
    }
    std::uint64_t counter(Direction direction, Clock::time_point now) const { return fpga_.counter(direction, now); }
    // The receive FIFO overflows as if the host had let it fill: the next
    // receive transfer starts this many sample periods further on, lost.
    void skipReceive(std::uint64_t periods) { rxSkip_ += periods; }
    // Paced by the host (0: by the clock): the FIFO never overflows of itself
    // and receive transfers wait once this many periods were delivered in all.
    void holdReceiveBeyond(std::uint64_t delivered) { rxHoldBeyond_ = delivered; }
    bool receivePacedByHost() const { return rxHoldBeyond_ != 0; }
    const BladeRfFpga& fpga() const { return fpga_; }
    BladeRfFpga& fpga() { return fpga_; }

private:
    struct Stream {
        bool enabled = false;
        // The device timestamp of the next sample the endpoint moves.
        std::uint64_t next = 0;
    };
    Stream& stream(Direction direction) { return direction == Direction::tx ? tx_ : rx_; }
    // Whether the direction's armed trigger holds it back; once the line has
    // fired, the first transfer after takes the fire and starts there.
    bool heldByTrigger(Direction direction) const;
    void startOnFire(Direction direction);
    const Stream& stream(Direction direction) const { return direction == Direction::tx ? tx_ : rx_; }
    // The channels a direction streams: on the micro those its RF front-end
    // control word enables (none enabled reads as channel 0), else channel 0.
    struct Channels {
        std::size_t count = 1;
        bool onlyChannelOne = false;
    };
    Channels channels(Direction direction) const;
    // Where the next transfer, of `samples`, starts: the next sample, unless
    // the counter ran further ahead than the board's buffering holds (samples
    // lost meanwhile, or a transmitter run dry).
    std::uint64_t startOf(Direction direction, Clock::time_point now, std::size_t samples) const;
    // Sample words (4 bytes each) in a transfer of this many bytes, and the
    // sample periods they span with the direction's channels.
    std::size_t wordsIn(std::size_t bytes) const;
    std::size_t periodsIn(Direction direction, std::size_t bytes) const;
    void fillReceive(unsigned char* buffer, std::size_t length, std::uint64_t first) const;
    void captureTransmit(const unsigned char* buffer, std::size_t length);
    // Hands each timestamped message of a transmit transfer to the timeline.
    void scheduleTransmit(const unsigned char* buffer, std::size_t length, Clock::time_point now);

    BladeRfKind kind_;
    std::string serial_;
    std::vector<unsigned char> calibration_;
    BladeRfFpga fpga_;
    int alternateSetting_ = 0;
    Stream rx_;
    Stream tx_;
    NiosPacket reply_{};
    bool replyPending_ = false;
    std::string prefix_;
    std::string capturePath_;
    std::uint64_t rxDelivered_ = 0;
    std::uint64_t rxDropped_ = 0;
    std::uint64_t rxSkip_ = 0;
    std::uint64_t rxHoldBeyond_ = 0;
    std::uint64_t txReceived_ = 0;
    // With timestamps the FPGA holds each message until its tick.
    TimedBurstTimeline txTimeline_{journal()};
    bool txSentNow_ = false; // the latest transmit message asked for "now"
};

} // namespace veltrano::sim::usbbladerf
