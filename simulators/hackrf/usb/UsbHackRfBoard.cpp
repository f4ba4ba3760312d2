// SPDX-License-Identifier: MIT
#include "UsbHackRfBoard.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace veltrano::sim::usbhackrf {
namespace {

// Vendor requests of the board's firmware that the host library sends.
enum Request : std::uint8_t {
    kSetTransceiverMode = 1,
    kSetSampleRate = 6,
    kSetBasebandFilter = 7,
    kReadBoardId = 14,
    kReadVersionString = 15,
    kSetFrequency = 16,
    kSetAmplifier = 17,
    kReadPartIdAndSerial = 18,
    kSetLnaGain = 19,
    kSetVgaGain = 20,
    kSetTxVgaGain = 21,
    kSetAntennaPower = 23,
    kSetFrequencyExplicit = 24,
    kInitSweep = 26,
    kReadOperaCakeBoards = 27,
    kSetOperaCakePorts = 28,
    kSetHardwareSyncMode = 29,
    kSetOperaCakeRanges = 31,
    kSetClockOut = 32,
    kSetOperaCakeMode = 38,
    kReadOperaCakeMode = 39,
    kSetOperaCakeDwellTimes = 40,
    kReadM0State = 41,
    kReadClockInStatus = 44,
    kSetTxUnderrunLimit = 42,
    kSetRxOverrunLimit = 43,
    kReadBoardRevision = 45,
    kReadSupportedPlatform = 46,
};

// The HackRF One firmware image runs on every One before r9 (platform bit 1),
// sent most significant byte first.
constexpr unsigned char kSupportedPlatform[4] = {0, 0, 0, 1u << 1};
// The limits the firmware puts on an explicitly tuned path: the IF the
// baseband chip can tune, the mixer's LO range, and the three filter paths.
constexpr std::uint64_t kExplicitIfMinimumHz = 2'150'000'000;
constexpr std::uint64_t kExplicitIfMaximumHz = 2'750'000'000;
constexpr std::uint64_t kExplicitLoMinimumHz = 84'375'000;
constexpr std::uint64_t kExplicitLoMaximumHz = 5'400'000'000;
enum FilterPath : std::uint8_t { kBypass = 0, kLowPass = 1, kHighPass = 2 };
constexpr std::uint32_t kPartId[2] = {0xa000cb3c, 0x00594f4d};
// How far the board may run ahead of a slow host before it stops catching up.
constexpr auto kLongestBacklog = std::chrono::milliseconds(500);
// Two bytes, I and Q, per sample, sweep blocks included.
constexpr std::uint64_t kBytesPerSample = 2;

std::uint32_t littleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t littleEndian64(const unsigned char* bytes)
{
    return littleEndian32(bytes) | std::uint64_t{littleEndian32(bytes + 4)} << 32;
}

void storeLittleEndian(unsigned char* bytes, std::uint64_t value, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

} // namespace

UsbHackRfBoard::UsbHackRfBoard(const char* variablePrefix, std::string defaultSerial)
    : UsbBoardModel((std::string(variablePrefix) + "_JOURNAL").c_str()),
      serial_(usb::environmentText(variablePrefix, "_SERIAL", defaultSerial.c_str())),
      usbApiVersion_(static_cast<std::uint16_t>(
          std::strtoul(usb::environmentText(variablePrefix, "_USB_API", "0x0107").c_str(), nullptr, 0))),
      version_(usb::environmentText(variablePrefix, "_VERSION", "usb-emulated-2026.01")),
      clockInVariable_(std::string(variablePrefix) + "_CLKIN"),
      operaCakes_(OperaCakeFirmware::addressesFromText(usb::environmentText(variablePrefix, "_OPERACAKES", ""))),
      // Enough for a test to compare everything a short stream transmitted.
      transmitted_(64u << 20)
{
    planUnplug(usb::unplugPlanFromEnvironment(variablePrefix));
    holdHost(StreamSide::receive, hackrf::hostHoldsFromText(usb::environmentText(variablePrefix, "_RX_HOLDS", "")));
    holdHost(StreamSide::transmit, hackrf::hostHoldsFromText(usb::environmentText(variablePrefix, "_TX_HOLDS", "")));
    transmitted_.captureTo(usb::environmentText(variablePrefix, "_TX_CAPTURE", ""));
}

usb::UsbIdentity UsbHackRfBoard::identity() const
{
    usb::UsbIdentity identity;
    identity.vendorId = kVendorId;
    identity.productId = kProductId;
    // The board reports its USB API version as the device release number.
    identity.deviceRelease = usbApiVersion_;
    identity.speed = LIBUSB_SPEED_HIGH;
    identity.bulkEndpoints = {kReceiveEndpoint, kTransmitEndpoint};
    return identity;
}

std::string UsbHackRfBoard::stringDescriptor(std::uint8_t index) const
{
    switch (index) {
    case 1:
        return "Veltrano emulated board";
    case 2:
        return "HackRF One";
    case 3:
        return serial_;
    default:
        return {};
    }
}

int UsbHackRfBoard::control(const ControlRequest& request)
{
    const auto answer = [&](const void* bytes, std::size_t size) {
        const std::size_t count = std::min<std::size_t>(size, request.length);
        std::memcpy(request.data, bytes, count);
        return static_cast<int>(count);
    };
    const auto needs = [&](std::size_t bytes) { return request.data != nullptr && request.length >= bytes; };
    const std::uint8_t accepted = 1;

    switch (request.request) {
    case kSetTransceiverMode:
        mode_ = static_cast<TransceiverMode>(request.value);
        if (mode_ == TransceiverMode::sweep) {
            sweepStepIndex_ = 0;
        }
        streamBytes_ = 0;
        for (HoldScript& script : hostHolds_) {
            script.next = 0;
        }
        if (mode_ == TransceiverMode::receive || mode_ == TransceiverMode::sweep) {
            core_.start(SampleCore::receive);
        } else if (mode_ == TransceiverMode::transmit) {
            core_.start(SampleCore::transmitStart);
        } else {
            core_.stop();
        }
        startOnSyncWire();
        return 0;
    case kSetSampleRate:
        if (!needs(8)) {
            return -1;
        }
        if (!radio_.setSampleRate({littleEndian32(request.data), littleEndian32(request.data + 4)})) {
            return -1;
        }
        rxPositionAtLastRateChange_ = rxPosition_;
        return 8;
    case kSetFrequency:
        if (!needs(8)) {
            return -1;
        }
        radio_.frequencyHz.store(std::uint64_t{littleEndian32(request.data)} * 1'000'000 +
                                 littleEndian32(request.data + 4));
        rxPositionAtLastTune_ = rxPosition_;
        // The firmware switches its Opera Cakes after every tune it takes.
        operaCakes_.tuned(radio_.frequencyHz.load());
        journalOperaCakes();
        return 8;
    case kSetFrequencyExplicit:
        return tuneExplicitly(request);
    case kSetAmplifier:
        return radio_.setAmplifier(request.value) ? 0 : -1;
    case kSetAntennaPower:
        return radio_.setAntennaPower(request.value) ? 0 : -1;
    case kSetHardwareSyncMode:
        // Any value other than 1 turns it off; the firmware stalls none.
        hardwareSyncOn_ = request.value == 1;
        return 0;
    case kSetClockOut:
        clockOutOn_ = request.value != 0;
        return 0;
    case kSetRxOverrunLimit:
        core_.setReceiveLimit(request.value | std::uint32_t{request.index} << 16);
        return 0;
    case kSetTxUnderrunLimit:
        core_.setTransmitLimit(request.value | std::uint32_t{request.index} << 16);
        return 0;
    case kReadM0State:
        return answerCoreState(request);
    case kSetBasebandFilter:
        radio_.basebandFilterHz.store(request.value | std::uint32_t{request.index} << 16);
        return 0;
    case kSetLnaGain:
    case kSetVgaGain:
    case kSetTxVgaGain: {
        // The gain in dB comes in the index; the board answers whether its
        // amplifier has such a step (0: refused, the setting stays).
        const hackrf::GainStage stage = request.request == kSetLnaGain   ? hackrf::GainStage::lna
                                        : request.request == kSetVgaGain ? hackrf::GainStage::vga
                                                                         : hackrf::GainStage::txVga;
        const std::uint8_t taken = radio_.setGain(stage, request.index) ? accepted : 0;
        return answer(&taken, 1);
    }
    case kReadBoardId:
        return answer(&hackrf::kBoardId, 1);
    case kReadVersionString:
        return answer(version_.data(), version_.size());
    case kReadBoardRevision:
        return answer(&hackrf::kBoardRevision, 1);
    case kReadClockInStatus: {
        // Asked at the moment of the request, so a test can plug a clock in.
        const std::uint8_t present = usb::environmentText(clockInVariable_.c_str(), "0") == "1" ? 1 : 0;
        return answer(&present, 1);
    }
    case kReadSupportedPlatform:
        return answer(kSupportedPlatform, sizeof kSupportedPlatform);
    case kReadOperaCakeBoards: {
        const auto slots = operaCakes_.boards();
        return answer(slots.data(), slots.size());
    }
    case kSetOperaCakePorts:
    case kSetOperaCakeRanges:
    case kSetOperaCakeMode:
    case kReadOperaCakeMode:
    case kSetOperaCakeDwellTimes:
        return controlOperaCakes(request);
    case kReadPartIdAndSerial: {
        unsigned char record[24] = {};
        storeLittleEndian(record, kPartId[0], 4);
        storeLittleEndian(record + 4, kPartId[1], 4);
        for (std::size_t word = 0; word < 4 && serial_.size() == 32; ++word) {
            std::uint32_t value = 0;
            std::from_chars(serial_.data() + 8 * word, serial_.data() + 8 * word + 8, value, 16);
            storeLittleEndian(record + 8 + 4 * word, value, 4);
        }
        return answer(record, sizeof record);
    }
    case kInitSweep:
        if (!needs(13) || (request.length - 9) % 4 != 0) {
            return -1;
        }
        planSweep(request);
        return request.length;
    default:
        return -1;
    }
}

// The core's state record. The emulated board moves samples exactly when USB
// does, so both byte counts are the bytes moved since power-on.
int UsbHackRfBoard::answerCoreState(const ControlRequest& request) const
{
    unsigned char record[40];
    // Waiting, the core has moved nothing since the start reset its counts.
    const std::uint32_t moved = waitingForPulse_ ? 0 : bytesMoved_;
    core_.record(record, moved, moved);
    const std::size_t count = std::min<std::size_t>(sizeof record, request.length);
    if (request.data != nullptr) {
        std::memcpy(request.data, record, count);
    }
    return static_cast<int>(count);
}

// Tuning by parts: the IF, the mixer's LO and the filter path, from which
// the RF the board listens on follows (the LO above the RF on the low-pass
// path, below it on the high-pass path, unused on the bypass).
int UsbHackRfBoard::tuneExplicitly(const ControlRequest& request)
{
    if (request.data == nullptr || request.length < 17) {
        return -1;
    }
    const std::uint64_t ifHz = littleEndian64(request.data);
    const std::uint64_t loHz = littleEndian64(request.data + 8);
    const std::uint8_t path = request.data[16];
    if (ifHz < kExplicitIfMinimumHz || ifHz > kExplicitIfMaximumHz || path > kHighPass ||
        (path != kBypass && (loHz < kExplicitLoMinimumHz || loHz > kExplicitLoMaximumHz))) {
        return -1;
    }
    const std::uint64_t rfHz = path == kBypass     ? ifHz
                               : path == kHighPass ? ifHz + loHz
                                                   : (loHz > ifHz ? loHz - ifHz : ifHz - loHz);
    radio_.frequencyHz.store(rfHz);
    rxPositionAtLastTune_ = rxPosition_;
    // The host sends the record with its padding; the whole data stage is taken.
    return request.length;
}

// The plan: the step width, the style, then the ranges as pairs of MHz
// bounds, each a little-endian 16-bit number.
void UsbHackRfBoard::planSweep(const ControlRequest& request)
{
    std::vector<std::uint16_t> rangesMHz;
    for (std::size_t at = 9; at + 2 <= request.length; at += 2) {
        rangesMHz.push_back(static_cast<std::uint16_t>(request.data[at] | request.data[at + 1] << 8));
    }
    sweepSteps_ =
        hackrf::sweepSteps(rangesMHz.data(), rangesMHz.size() / 2, littleEndian32(request.data), request.data[8] == 1);
    sweepStepIndex_ = 0;
}

void UsbHackRfBoard::startOnSyncWire()
{
    if (syncTicket_ != 0) {
        syncWire_->withdraw(syncTicket_);
        syncTicket_ = 0;
    }
    waitingForPulse_ = false;
    if (mode_ != TransceiverMode::receive && mode_ != TransceiverMode::transmit) {
        return;
    }
    syncedStart_.reset();
    patternOffset_ = 0;
    if (hardwareSyncOn_) {
        waitingForPulse_ = true;
        // The engine's lock is held by whoever pulses, and boards never leave the bus.
        syncTicket_ = syncWire_->await(serial_, [this](std::int64_t ns) { releaseAt(ns); });
        return;
    }
    std::int64_t ns = 0;
    if (drivesSyncWire_ && syncWire_->pulse({}, ns) > 0) {
        releaseAt(ns); // its start released a board: it starts on that instant too
    }
}

void UsbHackRfBoard::releaseAt(std::int64_t ns)
{
    syncTicket_ = 0;
    waitingForPulse_ = false;
    const hackrf::SyncedStart start{ns, hackrf::sampleAt(ns, radio_.sampleRateHz.load())};
    syncedStart_ = start;
    patternOffset_ = kBytesPerSample * start.sample - rxPosition_;
    journal().write(hackrf::syncedText(start));
}

std::size_t UsbHackRfBoard::pulseSyncInput()
{
    std::int64_t ns = 0;
    return syncWire_->pulse(serial_, ns);
}

bool UsbHackRfBoard::endpointActive(unsigned char endpoint) const
{
    // In hardware sync mode the board streams only after a pulse on its sync input.
    if (waitingForPulse_) {
        return false;
    }
    // A core that gave its stream up for the limit moves nothing more: the
    // host's transfers wait, as they do on the board, until it stops.
    if (core_.stopped()) {
        return false;
    }
    if (endpoint == kReceiveEndpoint) {
        return mode_ == TransceiverMode::receive || (mode_ == TransceiverMode::sweep && !sweepSteps_.empty());
    }
    return endpoint == kTransmitEndpoint && mode_ == TransceiverMode::transmit;
}

// The board makes samples at its programmed rate whether or not the host
// takes them: a transfer is due once the samples it carries are made, so a
// late host gets the backlog at once and the average rate stays the
// programmed one. A host more than kLongestBacklog behind (a new stream
// after a pause) starts the clock afresh.
Clock::time_point UsbHackRfBoard::dueAt(unsigned char, std::size_t length, Clock::time_point now)
{
    const double rateHz = radio_.sampleRateHz.load();
    if (!(rateHz > 0.0)) {
        return now; // a board without a rate moves data as fast as the host does
    }
    if (!sampleClock_ || now - sampleClock_->timeOf(samplesServed_) > kLongestBacklog) {
        sampleClock_.emplace(now, rateHz);
        samplesServed_ = 0;
    }
    // A new rate paces the samples from those already served on.
    sampleClock_->setRate(rateHz, sampleClock_->timeOf(samplesServed_));
    return sampleClock_->timeOf(samplesServed_ + length / kBytesPerSample);
}

std::size_t UsbHackRfBoard::complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                                     Clock::time_point)
{
    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        produce(buffer, length);
    } else {
        consume(buffer, length);
    }
    samplesServed_ += length / kBytesPerSample;
    const bool receiving = (endpoint & LIBUSB_ENDPOINT_IN) != 0 && mode_ == TransceiverMode::receive;
    const bool transmitting = (endpoint & LIBUSB_ENDPOINT_IN) == 0 && mode_ == TransceiverMode::transmit;
    if (receiving || transmitting) {
        streamBytes_ += length;
        holdHostIfDue(receiving ? StreamSide::receive : StreamSide::transmit);
    }
    return length;
}

// The host keeps its completed transfers for the hold, so the board's next
// transfer is served that much later; the core meanwhile drains (transmit) or
// fills (receive) its buffer and then falls short: receiving, it drops the
// rest, which the receive pattern then lacks; transmitting, it sends zeros,
// which never reach the host's record. The shortfall is counted from the
// hold's scripted length, not from how late the host's thread actually
// woke, so a test knows what the board will report.
void UsbHackRfBoard::holdHostIfDue(StreamSide side)
{
    HoldScript& script = hostHolds_[static_cast<std::size_t>(side)];
    if (script.next >= script.holds.size() || streamBytes_ < script.holds[script.next].afterBytes) {
        return;
    }
    const std::chrono::microseconds hold = script.holds[script.next++].length;
    const double rateHz = radio_.sampleRateHz.load();
    const auto dueBytes =
        static_cast<std::uint64_t>(kBytesPerSample * rateHz * static_cast<double>(hold.count()) / 1e6);
    const std::uint64_t dropped = core_.fallBehind(dueBytes);
    if (side == StreamSide::receive) {
        rxPosition_ += dropped;
    }
    // The hold's samples were made while no transfer was in flight.
    samplesServed_ += static_cast<std::uint64_t>(rateHz * static_cast<double>(hold.count()) / 1e6);
}

int UsbHackRfBoard::bulk(unsigned char endpoint, unsigned char* data, std::size_t length)
{
    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        produce(data, length);
    } else {
        consume(data, length);
    }
    return static_cast<int>(length);
}

void UsbHackRfBoard::produce(unsigned char* buffer, std::size_t length)
{
    if (mode_ == TransceiverMode::sweep) {
        for (std::size_t at = 0; at + hackrf::kSweepBlockBytes <= length; at += hackrf::kSweepBlockBytes) {
            produceSweepBlock(buffer + at);
        }
        return;
    }
    hackrf::fillReceivePattern(buffer, length, rxPosition_ + patternOffset_);
    rxPosition_ += length;
    bytesMoved_ += static_cast<std::uint32_t>(length);
}

// A block: its header, then samples, which carry the receive pattern so
// that every block's payload differs.
void UsbHackRfBoard::produceSweepBlock(unsigned char* block)
{
    hackrf::frameSweepBlock(block, sweepSteps_[sweepStepIndex_]);
    sweepStepIndex_ = (sweepStepIndex_ + 1) % sweepSteps_.size();
    hackrf::fillReceivePattern(block + hackrf::kSweepHeaderBytes, hackrf::kSweepBlockBytes - hackrf::kSweepHeaderBytes,
                               rxPosition_ + hackrf::kSweepHeaderBytes);
    rxPosition_ += hackrf::kSweepBlockBytes;
    bytesMoved_ += hackrf::kSweepBlockBytes;
}

void UsbHackRfBoard::consume(const unsigned char* buffer, std::size_t length)
{
    transmitted_.record(buffer, length);
    bytesMoved_ += static_cast<std::uint32_t>(length);
    core_.transmitRunning();
}

// The Opera Cake requests, answered and stalled as the firmware does: the
// address in the value; ports (A in the low byte, B in the high) or mode in
// the index; range and dwell-time records in the data stage.
int UsbHackRfBoard::controlOperaCakes(const ControlRequest& request)
{
    const auto address = static_cast<std::uint8_t>(request.value & 0xff);
    switch (request.request) {
    case kSetOperaCakePorts:
        operaCakes_.setPorts(address, static_cast<std::uint8_t>(request.index & 0xff),
                             static_cast<std::uint8_t>(request.index >> 8));
        break;
    case kSetOperaCakeMode:
        if (!operaCakes_.setMode(address, static_cast<std::uint8_t>(request.index & 0xff))) {
            return -1;
        }
        break;
    case kReadOperaCakeMode: {
        if (request.data == nullptr || request.length < 1) {
            return -1;
        }
        request.data[0] = operaCakes_.mode(address);
        return 1;
    }
    case kSetOperaCakeRanges:
        return operaCakes_.setRanges(request.data, request.length) ? request.length : -1;
    default:
        return operaCakes_.setDwellTimes(request.data, request.length) ? request.length : -1;
    }
    journalOperaCakes();
    return 0;
}

void UsbHackRfBoard::journalOperaCakes()
{
    for (const std::string& line : hackrf::operaCakeJournalLines(operaCakes_)) {
        journal().write(line);
    }
}

} // namespace veltrano::sim::usbhackrf
