// SPDX-License-Identifier: MIT
#pragma once

// The HackRF One as its USB interface shows it to the host library: the
// identity in its descriptors, the vendor control requests that program the
// radio, and what the bulk endpoints carry while it streams. Not thread-safe:
// the USB engine calls it under its own lock.

#include "common/OperaCakeFirmware.h"
#include "common/SampleClock.h"
#include "hackrf/model/HackRfBoardModel.h"
#include "hackrf/model/HackRfSampleCore.h"
#include "hackrf/model/HackRfSyncWire.h"
#include "hackrf/model/HackRfTransmitRecord.h"
#include "usb-engine/UsbBoardModel.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::sim::usbhackrf {

inline constexpr std::uint16_t kVendorId = 0x1d50;
inline constexpr std::uint16_t kProductId = 0x6089; // HackRF One
inline constexpr unsigned char kReceiveEndpoint = 0x81;
inline constexpr unsigned char kTransmitEndpoint = 0x02;
// The serial of the first HackRF on a bus unless its variables name another.
inline constexpr const char* kFirstSerial = "0000000000000000457863c82b6e2e5f";

enum class TransceiverMode : std::uint16_t { off = 0, receive = 1, transmit = 2, sweep = 5 };

using hackrf::HostHold;
using hackrf::RadioState;
using hackrf::SampleCore;
using usb::Clock;
using usb::ControlRequest;

class UsbHackRfBoard : public usb::UsbBoardModel {
public:
    // Settings from the variables named by the prefix (VELTRANO_USB_HACKRF
    // for the first HackRF on a bus, each board its own): identity from
    // prefix_SERIAL (else defaultSerial), _USB_API, _VERSION and _CLKIN (read
    // on every request, "1" for a clock on CLKIN); the journal goes to
    // prefix_JOURNAL; prefix_TX_CAPTURE names a file to which every byte taken
    // on the transmit endpoint is appended (see TransmitRecord); _RX_HOLDS and
    // _TX_HOLDS script the host holds (see hostHoldsFromText) of every
    // receive and every transmit stream; _OPERACAKES ("0,1") stacks Opera
    // Cakes at those addresses.
    UsbHackRfBoard(const char* variablePrefix, std::string defaultSerial);
    // The first HackRF on a bus.
    UsbHackRfBoard() : UsbHackRfBoard("VELTRANO_USB_HACKRF", kFirstSerial) {}

    const std::string& serial() const { return serial_; }
    std::uint16_t usbApiVersion() const { return usbApiVersion_; }
    void setUsbApiVersion(std::uint16_t version) { usbApiVersion_ = version; }
    enum class StreamSide : std::size_t { receive = 0, transmit = 1 };
    // The host holds of every stream of that side from the next one on.
    void holdHost(StreamSide side, std::vector<HostHold> holds)
    {
        hostHolds_[static_cast<std::size_t>(side)] = {std::move(holds), 0};
    }

    usb::UsbIdentity identity() const override;
    std::string stringDescriptor(std::uint8_t index) const override;
    int control(const ControlRequest& request) override;
    int bulk(unsigned char endpoint, unsigned char* data, std::size_t length) override;

    TransceiverMode mode() const { return mode_; }
    // Whether a bulk transfer on this endpoint can make progress in the current mode.
    bool endpointActive(unsigned char endpoint) const override;
    // The board serves one transfer at a time, on whichever endpoint streams.
    Clock::time_point dueAt(unsigned char endpoint, std::size_t length, Clock::time_point now) override;
    std::size_t complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                         Clock::time_point now) override;

    // Fills a receive transfer: the stream pattern while receiving, sweep blocks while sweeping.
    void produce(unsigned char* buffer, std::size_t length);
    // Takes what the host transmits.
    void consume(const unsigned char* buffer, std::size_t length);

    const SampleCore& core() const { return core_; }
    std::uint64_t receivedBytesDelivered() const { return rxPosition_; }
    std::uint64_t receivePositionAtLastTune() const { return rxPositionAtLastTune_; }
    // Bytes from here on were taken at the rate last set.
    std::uint64_t receivePositionAtLastRateChange() const { return rxPositionAtLastRateChange_; }
    const hackrf::TransmitRecord& transmitted() const { return transmitted_; }
    const RadioState& radio() const { return radio_; }
    // The sync wire the board's sync input hangs on, shared by every HackRF
    // of a bus; the first board on it drives it from its sync output, and
    // its start pulses it. A board alone has a wire of its own, which only a
    // test's pulse drives.
    void joinSyncWire(std::shared_ptr<hackrf::SyncWire> wire, bool drivesIt)
    {
        syncWire_ = std::move(wire);
        drivesSyncWire_ = drivesIt;
    }
    // A pulse on this board's sync input alone; how many boards it released (0 or 1).
    std::size_t pulseSyncInput();
    bool waitingForPulse() const { return waitingForPulse_; }
    // The running (or last) stream's synced start; none for a plain start.
    const std::optional<hackrf::SyncedStart>& syncedStart() const { return syncedStart_; }
    bool clockOutOn() const { return clockOutOn_; }
    const OperaCakeFirmware& operaCakes() const { return operaCakes_; }
    // Stacks these Opera Cakes, as at power-on.
    void stackOperaCakes(const std::vector<std::uint8_t>& addresses) { operaCakes_ = OperaCakeFirmware(addresses); }

private:
    int tuneExplicitly(const ControlRequest& request);
    int controlOperaCakes(const ControlRequest& request);
    // One journal line per Opera Cake with the ports it connects now.
    void journalOperaCakes();
    int answerCoreState(const ControlRequest& request) const;
    void planSweep(const ControlRequest& request);
    void produceSweepBlock(unsigned char* block);
    // Starts a scripted host hold when the stream has moved far enough.
    void holdHostIfDue(StreamSide side);

    std::string serial_;
    std::uint16_t usbApiVersion_;
    std::string version_;
    // prefix_CLKIN: "1" while a reference clock comes in on CLKIN.
    std::string clockInVariable_;
    OperaCakeFirmware operaCakes_;

    TransceiverMode mode_ = TransceiverMode::off;
    RadioState radio_;
    // A start in sync mode waits for a pulse on the sync wire (see joinSyncWire).
    bool hardwareSyncOn_ = false;
    std::shared_ptr<hackrf::SyncWire> syncWire_ = std::make_shared<hackrf::SyncWire>();
    bool drivesSyncWire_ = true;
    bool waitingForPulse_ = false;
    std::uint64_t syncTicket_ = 0;
    std::optional<hackrf::SyncedStart> syncedStart_;
    // Added to the receive position for the pattern: a synced stream's
    // pattern starts at the board's sample of the pulse.
    std::uint64_t patternOffset_ = 0;
    bool clockOutOn_ = false;
    // A receive or transmit start: waits in sync mode, else pulses the wire
    // when the board drives it. Any other mode ends a wait.
    void startOnSyncWire();
    // The pulse came: the stream moves from now on, synced at that instant.
    void releaseAt(std::int64_t ns);
    SampleCore core_;
    struct HoldScript {
        std::vector<HostHold> holds;
        std::size_t next = 0;
    };
    HoldScript hostHolds_[2];
    // Bytes the running stream has moved, the holds' measure.
    std::uint64_t streamBytes_ = 0;
    // Bytes streamed since power-on, wrapping as the board's own 32-bit counters do.
    std::uint32_t bytesMoved_ = 0;
    std::uint64_t rxPosition_ = 0;
    std::uint64_t rxPositionAtLastTune_ = 0;
    std::uint64_t rxPositionAtLastRateChange_ = 0;
    std::vector<std::uint64_t> sweepSteps_;
    std::size_t sweepStepIndex_ = 0;
    hackrf::TransmitRecord transmitted_;
    // The samples the board has made since the stream's clock started; the
    // next transfer is due when its samples are made (see complete()).
    std::optional<SampleClock> sampleClock_;
    std::uint64_t samplesServed_ = 0;
};

} // namespace veltrano::sim::usbhackrf
