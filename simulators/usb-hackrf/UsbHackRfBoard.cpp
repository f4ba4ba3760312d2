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

constexpr std::uint8_t kBoardIdHackRfOne = 2;
// An r6 board made by its original maker (the maker bit 0x80 with revision 1).
constexpr std::uint8_t kBoardRevision = 0x81;
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
// Enough for a test to compare everything a short stream transmitted; a
// longer stream is still counted but no longer kept.
constexpr std::size_t kTransmitRecordLimit = 64u << 20;
// How far the board may run ahead of a slow host before it stops catching up.
constexpr auto kLongestBacklog = std::chrono::milliseconds(500);

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

unsigned char receivePatternByte(std::uint64_t position)
{
    return static_cast<unsigned char>((position / 4) >> (8 * (position % 4)));
}

UsbHackRfBoard::UsbHackRfBoard() : UsbHackRfBoard("VELTRANO_USB_HACKRF", "0000000000000000457863c82b6e2e5f") {}

UsbHackRfBoard::UsbHackRfBoard(const std::string& prefix, const char* defaultSerial)
    : UsbBoardModel((prefix + "_JOURNAL").c_str()),
      serial_(usb::environmentText((prefix + "_SERIAL").c_str(), defaultSerial)),
      usbApiVersion_(static_cast<std::uint16_t>(
          std::strtoul(usb::environmentText((prefix + "_USB_API").c_str(), "0x0107").c_str(), nullptr, 0))),
      version_(usb::environmentText((prefix + "_VERSION").c_str(), "usb-emulated-2026.01")),
      clockInVariable_(prefix + "_CLKIN"),
      operaCakes_(OperaCakeFirmware::addressesFromText(usb::environmentText((prefix + "_OPERACAKES").c_str(), "")))
{
    planUnplug(usb::unplugPlanFromEnvironment(prefix));
    const std::string capture = usb::environmentText((prefix + "_TX_CAPTURE").c_str(), "");
    holdHost(StreamSide::receive, hostHoldsFromText(usb::environmentText((prefix + "_RX_HOLDS").c_str(), "")));
    holdHost(StreamSide::transmit, hostHoldsFromText(usb::environmentText((prefix + "_TX_HOLDS").c_str(), "")));
    if (!capture.empty()) {
        transmitCapture_.reset(std::fopen(capture.c_str(), "ab"));
    }
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
            core_.start(SampleCore::receive, rxOverrunLimit_);
        } else if (mode_ == TransceiverMode::transmit) {
            core_.start(SampleCore::transmitStart, txUnderrunLimit_);
        } else {
            core_.stop();
        }
        return 0;
    case kSetSampleRate:
        if (!needs(8) || littleEndian32(request.data + 4) == 0) {
            return -1;
        }
        sampleRateHz_ = static_cast<double>(littleEndian32(request.data)) / littleEndian32(request.data + 4);
        rxPositionAtLastRateChange_ = rxPosition_;
        return 8;
    case kSetFrequency:
        if (!needs(8)) {
            return -1;
        }
        frequencyHz_ = littleEndian32(request.data) * 1e6 + littleEndian32(request.data + 4);
        rxPositionAtLastTune_ = rxPosition_;
        // The firmware switches its Opera Cakes after every tune it takes.
        operaCakes_.tuned(std::uint64_t{littleEndian32(request.data)} * 1'000'000 + littleEndian32(request.data + 4));
        journalOperaCakes();
        return 8;
    case kSetFrequencyExplicit:
        return tuneExplicitly(request);
    case kSetAmplifier:
    case kSetAntennaPower:
        // Switches that change nothing the emulated board delivers; the
        // firmware stalls any value but off (0) and on (1).
        if (request.value > 1) {
            return -1;
        }
        (request.request == kSetAmplifier ? radio_.amplifierOn : radio_.antennaPowerOn) = request.value == 1;
        return 0;
    case kSetHardwareSyncMode:
        // Any value other than 1 turns it off; the firmware stalls none.
        hardwareSyncOn_ = request.value == 1;
        return 0;
    case kSetRxOverrunLimit:
        rxOverrunLimit_ = request.value | std::uint32_t{request.index} << 16;
        return 0;
    case kSetTxUnderrunLimit:
        txUnderrunLimit_ = request.value | std::uint32_t{request.index} << 16;
        return 0;
    case kReadM0State:
        return answerCoreState(request);
    case kSetBasebandFilter:
        radio_.basebandFilterHz = request.value | std::uint32_t{request.index} << 16;
        return 0;
    case kSetLnaGain:
    case kSetVgaGain:
    case kSetTxVgaGain: {
        // The gain in dB comes in the index; the board answers whether its
        // amplifier has such a step (0: refused, the setting stays).
        const std::uint8_t taken = setGain(request.request, request.index) ? accepted : 0;
        return answer(&taken, 1);
    }
    case kReadBoardId:
        return answer(&kBoardIdHackRfOne, 1);
    case kReadVersionString:
        return answer(version_.data(), version_.size());
    case kReadBoardRevision:
        return answer(&kBoardRevision, 1);
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

bool UsbHackRfBoard::setGain(std::uint8_t request, std::uint16_t gainDb)
{
    // The transceiver's gain steps: LNA 0-40 in 8s, VGA 0-62 in 2s, TX VGA 0-47.
    const struct {
        std::uint8_t request;
        std::uint16_t maximumDb;
        std::uint16_t stepDb;
        std::uint16_t RadioState::*setting;
    } stages[] = {{kSetLnaGain, 40, 8, &RadioState::lnaGainDb},
                  {kSetVgaGain, 62, 2, &RadioState::vgaGainDb},
                  {kSetTxVgaGain, 47, 1, &RadioState::txVgaGainDb}};
    for (const auto& stage : stages) {
        if (stage.request == request) {
            if (gainDb > stage.maximumDb || gainDb % stage.stepDb != 0) {
                return false;
            }
            radio_.*stage.setting = gainDb;
            return true;
        }
    }
    return false;
}

// The core's state record. The emulated board moves samples exactly when USB
// does, so both byte counts are the bytes moved since power-on.
int UsbHackRfBoard::answerCoreState(const ControlRequest& request) const
{
    unsigned char record[40];
    core_.record(record, bytesMoved_, bytesMoved_);
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
    frequencyHz_ = static_cast<double>(rfHz);
    rxPositionAtLastTune_ = rxPosition_;
    // The host sends the record with its padding; the whole data stage is taken.
    return request.length;
}

// The plan as the firmware walks it: every range from its start in steps of
// the step width below its end; the interleaved style (1) adds a second step a
// quarter width above each, which fills the gaps its usable quarters leave.
void UsbHackRfBoard::planSweep(const ControlRequest& request)
{
    const std::uint64_t stepHz = littleEndian32(request.data);
    const bool interleaved = request.data[8] == 1;
    sweepSteps_.clear();
    for (std::size_t at = 9; at + 4 <= request.length && stepHz > 0; at += 4) {
        const std::uint64_t startHz = (request.data[at] | request.data[at + 1] << 8) * 1'000'000ull;
        const std::uint64_t endHz = (request.data[at + 2] | request.data[at + 3] << 8) * 1'000'000ull;
        for (std::uint64_t stepStart = startHz; stepStart < endHz; stepStart += stepHz) {
            sweepSteps_.push_back(stepStart);
            if (interleaved) {
                sweepSteps_.push_back(stepStart + stepHz / 4);
            }
        }
    }
    sweepStepIndex_ = 0;
}

bool UsbHackRfBoard::endpointActive(unsigned char endpoint) const
{
    // In hardware sync mode the board streams only after a pulse on its
    // trigger input, and nothing is wired to the emulated one's.
    if (hardwareSyncOn_ && (mode_ == TransceiverMode::receive || mode_ == TransceiverMode::transmit)) {
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

Clock::time_point UsbHackRfBoard::dueAt(unsigned char, std::size_t, Clock::time_point)
{
    return boardClock_;
}

std::size_t UsbHackRfBoard::complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                                     Clock::time_point now)
{
    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        produce(buffer, length);
    } else {
        consume(buffer, length);
    }
    // The board keeps its own pace: a late host gets the backlog at once, so
    // the average rate stays the programmed one. After a long pause (a new
    // stream) the clock starts afresh.
    if (now - boardClock_ > kLongestBacklog) {
        boardClock_ = now;
    }
    boardClock_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secondsFor(length)));
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
    const auto dueBytes = static_cast<std::uint64_t>(2.0 * sampleRateHz_ * static_cast<double>(hold.count()) / 1e6);
    const std::uint64_t dropped = core_.fallBehind(dueBytes);
    if (side == StreamSide::receive) {
        rxPosition_ += dropped;
    }
    boardClock_ += hold;
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

double UsbHackRfBoard::secondsFor(std::size_t bytes) const
{
    return sampleRateHz_ > 0.0 ? static_cast<double>(bytes) / (2.0 * sampleRateHz_) : 0.0;
}

void UsbHackRfBoard::produce(unsigned char* buffer, std::size_t length)
{
    if (mode_ == TransceiverMode::sweep) {
        for (std::size_t at = 0; at + kSweepBlockBytes <= length; at += kSweepBlockBytes) {
            produceSweepBlock(buffer + at);
        }
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = receivePatternByte(rxPosition_ + i);
    }
    rxPosition_ += length;
    bytesMoved_ += static_cast<std::uint32_t>(length);
}

// A block: the 0x7F 0x7F marker, the step frequency, then samples, which
// carry the receive pattern so that every block's payload differs.
void UsbHackRfBoard::produceSweepBlock(unsigned char* block)
{
    block[0] = 0x7F;
    block[1] = 0x7F;
    storeLittleEndian(block + 2, sweepSteps_[sweepStepIndex_], 8);
    sweepStepIndex_ = (sweepStepIndex_ + 1) % sweepSteps_.size();
    for (std::size_t i = 10; i < kSweepBlockBytes; ++i) {
        block[i] = receivePatternByte(rxPosition_ + i);
    }
    rxPosition_ += kSweepBlockBytes;
    bytesMoved_ += kSweepBlockBytes;
}

void UsbHackRfBoard::consume(const unsigned char* buffer, std::size_t length)
{
    const std::size_t room = kTransmitRecordLimit - std::min(transmitted_.size(), kTransmitRecordLimit);
    const std::size_t kept = std::min(length, room);
    transmitted_.insert(transmitted_.end(), buffer, buffer + kept);
    transmittedBytes_ += length;
    bytesMoved_ += static_cast<std::uint32_t>(length);
    core_.transmitRunning();
    // Flushed at once: a program run against the board may end without exit handlers.
    if (transmitCapture_ != nullptr) {
        std::fwrite(buffer, 1, length, transmitCapture_.get());
        std::fflush(transmitCapture_.get());
    }
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
    for (const std::uint8_t address : operaCakes_.boards()) {
        if (address != OperaCakeFirmware::kNoBoard) {
            journal().write("operacake " + std::to_string(address) + " " + operaCakes_.describe(address));
        }
    }
}

} // namespace veltrano::sim::usbhackrf
