// SPDX-License-Identifier: MIT
#include "UsbBladeRfBoard.h"

#include "BladeRfBus.h"

#include "bladerf/model/BladeRfReceivePattern.h"
#include "bladerf/model/BladeRfTransmit.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace veltrano::sim::usbbladerf {
namespace {

// Vendor requests of the FX3 firmware that libbladeRF sends.
enum Request : std::uint8_t {
    kQueryFpgaStatus = 1,
    kRfRx = 4,
    kRfTx = 5,
    kQueryDeviceReady = 6,
    kQueryFlashId = 7,
    kQueryFpgaSource = 8,
    kReadCalibrationCache = 110,
    kSetLoopback = 113,
    kGetLoopback = 114,
};

// A Winbond W25Q32 (4 MiB, 256-byte pages), as on the x40.
constexpr std::int32_t kFlashId = 0xEF15;
constexpr std::int32_t kFpgaSourceFlash = 1;
constexpr std::size_t kCalibrationPageBytes = 256;
// The board buffers this much of its receive stream while the host moves
// none; beyond it, samples are lost.
constexpr double kBufferedSeconds = 1.0;

// CRC-16 with polynomial 0x1021 and initial value 0, as the calibration records carry it.
std::uint16_t recordCrc(const unsigned char* bytes, std::size_t count)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// The calibration page: [length][key][value][CRC-16 LE] records, then 0xFF.
std::vector<unsigned char> calibrationPage(BladeRfKind kind)
{
    std::vector<unsigned char> page;
    const bladerf::BladeRfDescription& description = bladerf::describe(kind);
    for (const auto& [key, value] : {std::pair<std::string_view, std::string_view>{"B", description.fpgaSizeRecord},
                                     {"DAC", description.vctcxoTrim}}) {
        const std::size_t start = page.size();
        page.push_back(static_cast<unsigned char>(key.size() + value.size()));
        page.insert(page.end(), key.begin(), key.end());
        page.insert(page.end(), value.begin(), value.end());
        const std::uint16_t crc = recordCrc(page.data() + start, page.size() - start);
        page.push_back(static_cast<unsigned char>(crc));
        page.push_back(static_cast<unsigned char>(crc >> 8));
    }
    page.resize(kCalibrationPageBytes, 0xFF);
    return page;
}

Direction directionOf(unsigned char endpoint)
{
    return endpoint == kSamplesOut ? Direction::tx : Direction::rx;
}

} // namespace

UsbBladeRfBoard::UsbBladeRfBoard(BladeRfKind kind, const std::string& prefix, const char* defaultSerial)
    : UsbBoardModel((prefix + "_JOURNAL").c_str()), kind_(kind),
      serial_(usb::environmentText(prefix, "_SERIAL", defaultSerial)), calibration_(calibrationPage(kind)),
      fpga_(kind, journal(), serial_), prefix_(prefix)
{
    planUnplug(usb::unplugPlanFromEnvironment(prefix));
    const std::string referenceHz = usb::environmentText(prefix, "_REFERENCE_HZ", "");
    fpga_.wireReference(std::strtoull(referenceHz.c_str(), nullptr, 10),
                        usb::environmentText(prefix, "_REFERENCE_FROM", ""));
}

usb::UsbIdentity UsbBladeRfBoard::identity() const
{
    usb::UsbIdentity identity;
    identity.vendorId = kVendorId;
    identity.productId = kind_ == BladeRfKind::micro ? kMicroProductId : kProductId;
    identity.usbVersion = 0x0300;
    identity.maxPacketSize0 = 9; // SuperSpeed: 2^9 bytes
    identity.speed = LIBUSB_SPEED_SUPER;
    // Null, RF link, SPI flash, configuration; the samples flow in the RF link.
    identity.alternateSettings = 4;
    identity.streamingSetting = 1;
    identity.bulkPacketSize = 1024;
    identity.bulkEndpoints = {kSamplesIn, kSamplesOut, kPeripheralIn, kPeripheralOut};
    return identity;
}

std::string UsbBladeRfBoard::stringDescriptor(std::uint8_t index) const
{
    switch (index) {
    case 1:
        return "Nuand";
    case 2:
        return std::string(bladerf::describe(kind_).product);
    case 3:
        return serial_;
    case 4:
        return "2.4.0"; // FX3 firmware version
    default:
        return {};
    }
}

int UsbBladeRfBoard::control(const ControlRequest& request)
{
    // Every request libbladeRF sends answers a little-endian 32-bit integer.
    const auto answer = [&](std::int32_t value) {
        unsigned char bytes[4];
        for (int i = 0; i < 4; ++i) {
            bytes[i] = static_cast<unsigned char>(static_cast<std::uint32_t>(value) >> (8 * i));
        }
        const std::size_t count = std::min<std::size_t>(sizeof bytes, request.length);
        if (request.data != nullptr) {
            std::memcpy(request.data, bytes, count);
        }
        return static_cast<int>(count);
    };
    const Clock::time_point now = Clock::now();
    fpga_.journalRficChanges();
    switch (request.request) {
    case kQueryFpgaStatus:
        return answer(1); // configured: nothing is ever programmed
    case kQueryDeviceReady:
        return answer(1);
    case kQueryFlashId:
        return answer(kFlashId);
    case kQueryFpgaSource:
        return answer(kFpgaSourceFlash);
    case kRfRx:
    case kRfTx: {
        const Direction direction = request.request == kRfTx ? Direction::tx : Direction::rx;
        Stream& enabled = stream(direction);
        if (request.value != 0 && !enabled.enabled) {
            // A stream starts with the counter's present value: nothing before is buffered.
            enabled.next = fpga_.counter(direction, now);
            if (direction == Direction::tx) {
                capturePath_ = usb::environmentText(prefix_, "_TX_CAPTURE", "");
                txTimeline_.restart(enabled.next);
            }
        }
        if (request.value == 0 && direction == Direction::tx) {
            txTimeline_.close(); // a burst the stop cut short, as far as it went
        }
        enabled.enabled = request.value != 0;
        fpga_.setStreaming(direction, enabled.enabled);
        return answer(0);
    }
    case kReadCalibrationCache: {
        if (request.data == nullptr) {
            return -1;
        }
        const std::size_t offset = std::min<std::size_t>(request.index, calibration_.size());
        const std::size_t count = std::min<std::size_t>(request.length, calibration_.size() - offset);
        std::memcpy(request.data, calibration_.data() + offset, count);
        return static_cast<int>(count);
    }
    case kSetLoopback:
    case kGetLoopback:
        return answer(0);
    default:
        return -1;
    }
}

void UsbBladeRfBoard::reset()
{
    fpga_.reset();
    txTimeline_.restart(0);
    alternateSetting_ = 0;
    rx_ = {};
    tx_ = {};
    rxSkip_ = 0;
    replyPending_ = false;
}

void UsbBladeRfBoard::selectAlternateSetting(int setting)
{
    alternateSetting_ = setting;
}

int UsbBladeRfBoard::bulk(unsigned char endpoint, unsigned char* data, std::size_t length)
{
    if (endpoint == kPeripheralOut) {
        if (length != kNiosPacketBytes) {
            return LIBUSB_ERROR_INVALID_PARAM;
        }
        std::memcpy(reply_.data(), data, kNiosPacketBytes);
        fpga_.handle(reply_, Clock::now());
        replyPending_ = true;
        return static_cast<int>(length);
    }
    if (endpoint == kPeripheralIn) {
        // The NIOS II answers every request before the host asks; nothing asked, nothing comes.
        if (!replyPending_) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const std::size_t count = std::min(length, kNiosPacketBytes);
        std::memcpy(data, reply_.data(), count);
        replyPending_ = false;
        return static_cast<int>(count);
    }
    return LIBUSB_ERROR_PIPE;
}

bool UsbBladeRfBoard::endpointActive(unsigned char endpoint) const
{
    if (alternateSetting_ != 1 || (endpoint != kSamplesIn && endpoint != kSamplesOut)) {
        return false;
    }
    const Direction direction = directionOf(endpoint);
    return stream(direction).enabled && !heldByTrigger(direction);
}

bool UsbBladeRfBoard::heldByTrigger(Direction direction) const
{
    return bladeRfBus().triggerLine.holds(fpga_.trigger(direction));
}

void UsbBladeRfBoard::startOnFire(Direction direction)
{
    const std::optional<std::uint64_t> firedTick = bladeRfBus().triggerLine.takeFire(fpga_.trigger(direction));
    if (!firedTick) {
        return;
    }
    // Held since its start, the stream's first sample is the one the line fired on.
    stream(direction).next = *firedTick;
    if (direction == Direction::tx) {
        txTimeline_.restart(*firedTick);
    }
}

UsbBladeRfBoard::Channels UsbBladeRfBoard::channels(Direction direction) const
{
    const unsigned enabled = kind_ == BladeRfKind::micro ? fpga_.enabledChannels(direction) : 1u;
    return {enabled == 3 ? std::size_t{2} : std::size_t{1}, enabled == 2};
}

std::size_t UsbBladeRfBoard::wordsIn(std::size_t bytes) const
{
    if (!fpga_.timestampsEnabled()) {
        return bytes / 4;
    }
    const std::size_t partial = bytes % kMessageBytes;
    return bytes / kMessageBytes * kWordsPerMessage + (partial > kHeaderBytes ? (partial - kHeaderBytes) / 4 : 0);
}

std::size_t UsbBladeRfBoard::periodsIn(Direction direction, std::size_t bytes) const
{
    return wordsIn(bytes) / channels(direction).count;
}

std::uint64_t UsbBladeRfBoard::startOf(Direction direction, Clock::time_point now, std::size_t samples) const
{
    const SampleClock& clock = fpga_.clock(direction);
    // A transmitter the host left idle ran dry: it sends what comes next from
    // now on, as soon as a transfer of it is there, never a backlog at once
    // (which would flood the bus beside a receive stream).
    const auto buffered = direction == Direction::tx ? static_cast<std::uint64_t>(samples)
                                                     : static_cast<std::uint64_t>(clock.rateHz() * kBufferedSeconds);
    const std::uint64_t reached = clock.countAt(now);
    const std::uint64_t next = stream(direction).next + (direction == Direction::rx ? rxSkip_ : 0);
    const bool lossless = direction == Direction::rx && receivePacedByHost();
    return reached > next + buffered && !lossless ? reached - buffered : next;
}

Clock::time_point UsbBladeRfBoard::dueAt(unsigned char endpoint, std::size_t length, Clock::time_point now)
{
    const Direction direction = directionOf(endpoint);
    startOnFire(direction);
    if (direction == Direction::tx && fpga_.timestampsEnabled()) {
        // Timed messages wait on the board, which takes more while it holds
        // less than its buffering ahead of the counter. Messages sent "now"
        // go out as they come, so it holds no more of them than of a plain
        // stream: a transfer's worth (a host that ran a second ahead would
        // have the bus to itself meanwhile).
        const SampleClock& clock = fpga_.clock(direction);
        const auto buffered = txSentNow_ ? static_cast<std::uint64_t>(periodsIn(direction, length))
                                         : static_cast<std::uint64_t>(clock.rateHz() * kBufferedSeconds);
        const std::uint64_t end = txTimeline_.scheduledEnd();
        return end > clock.countAt(now) + buffered ? clock.timeOf(end - buffered) : now;
    }
    // A transfer completes once the counter has passed its last sample.
    const std::size_t samples = periodsIn(direction, length);
    if (direction == Direction::rx && receivePacedByHost() && rxDelivered_ + samples > rxHoldBeyond_) {
        return Clock::time_point::max(); // until the host lets the board deliver more
    }
    return fpga_.clock(direction).timeOf(startOf(direction, now, samples) + samples);
}

std::size_t UsbBladeRfBoard::complete(unsigned char endpoint, unsigned char* buffer, std::size_t length,
                                      Clock::time_point now)
{
    fpga_.serviceRetunes(now);
    const Direction direction = directionOf(endpoint);
    startOnFire(direction);
    Stream& moving = stream(direction);
    const std::size_t samples = periodsIn(direction, length);
    const std::uint64_t first = startOf(direction, now, samples);
    if (direction == Direction::rx) {
        if (first > moving.next) {
            rxDropped_ += first - moving.next;
            journal().write("overrun rx " + std::to_string(moving.next) + " lost " +
                            std::to_string(first - moving.next));
        }
        rxSkip_ = 0;
        fillReceive(buffer, length, first);
        rxDelivered_ += samples;
    } else {
        if (fpga_.timestampsEnabled()) {
            scheduleTransmit(buffer, length, now);
        }
        captureTransmit(buffer, length);
    }
    moving.next = first + samples;
    return length;
}

void UsbBladeRfBoard::fillReceive(unsigned char* buffer, std::size_t length, std::uint64_t first) const
{
    const bool timestamped = fpga_.timestampsEnabled();
    const Channels streamed = channels(Direction::rx);
    std::uint64_t timestamp = first;
    // The bus carries SC16 Q11 little-endian, as the host's own int16_t are
    // on every machine the USB engine runs on; the transfer buffers come from
    // the allocator, so each message's samples are aligned for them.
    static_assert(std::endian::native == std::endian::little);
    // Channel 1 hears channel 0's pattern with I and Q exchanged, alone or in
    // the second half of each pair.
    const auto putSamples = [&](unsigned char* at, std::size_t words) {
        auto* values = reinterpret_cast<std::int16_t*>(at);
        const std::size_t periods = words / streamed.count;
        bladerf::fillReceivePattern(values, timestamp, periods);
        if (streamed.count == 2) {
            bladerf::spreadToTwoChannels(values, periods);
        } else if (streamed.onlyChannelOne) {
            bladerf::exchangeIq(values, periods);
        }
        timestamp += periods;
    };
    if (!timestamped) {
        putSamples(buffer, length / 4);
        return;
    }
    for (std::size_t offset = 0; offset < length; offset += kMessageBytes) {
        const std::size_t message = std::min(kMessageBytes, length - offset);
        unsigned char* header = buffer + offset;
        std::memset(header, 0, std::min(message, kHeaderBytes));
        if (message <= kHeaderBytes) {
            break;
        }
        // Bytes 4 to 11: the first sample's timestamp; 12 to 15: flags, none.
        for (int i = 0; i < 8; ++i) {
            header[4 + i] = static_cast<unsigned char>(timestamp >> (8 * i));
        }
        putSamples(header + kHeaderBytes, (message - kHeaderBytes) / 4);
    }
}

void UsbBladeRfBoard::scheduleTransmit(const unsigned char* buffer, std::size_t length, Clock::time_point now)
{
    const std::uint64_t counter = fpga_.counter(Direction::tx, now);
    const std::size_t perPeriod = channels(Direction::tx).count;
    for (std::size_t offset = 0; offset + kHeaderBytes < length; offset += kMessageBytes) {
        const unsigned char* message = buffer + offset;
        std::uint64_t timestamp = 0;
        for (int i = 7; i >= 0; --i) {
            timestamp = timestamp << 8 | message[4 + i];
        }
        const std::size_t words = (std::min(kMessageBytes, length - offset) - kHeaderBytes) / 4;
        // A pair sounds if either of its channels does.
        const std::size_t sound = (bladerf::soundEnd(message + kHeaderBytes, words) + perPeriod - 1) / perPeriod;
        txTimeline_.take(timestamp, words / perPeriod, sound, counter);
        txSentNow_ = timestamp == 0;
    }
}

void UsbBladeRfBoard::captureTransmit(const unsigned char* buffer, std::size_t length)
{
    // The samples without the message headers a timestamped stream carries.
    std::vector<unsigned char> samples;
    if (fpga_.timestampsEnabled()) {
        for (std::size_t offset = 0; offset < length; offset += kMessageBytes) {
            const std::size_t message = std::min(kMessageBytes, length - offset);
            if (message > kHeaderBytes) {
                samples.insert(samples.end(), buffer + offset + kHeaderBytes, buffer + offset + message);
            }
        }
    } else {
        samples.assign(buffer, buffer + length);
    }
    const std::size_t perPeriod = channels(Direction::tx).count;
    txReceived_ += samples.size() / 4 / perPeriod;
    if (capturePath_.empty()) {
        return;
    }
    if (perPeriod == 2) {
        // As it arrived, and each channel's samples beside it.
        bladerf::appendToChannelCaptures(capturePath_, samples.data(), samples.size() / 8);
    } else {
        bladerf::appendToCapture(capturePath_, samples.data(), samples.size());
    }
}

} // namespace veltrano::sim::usbbladerf
