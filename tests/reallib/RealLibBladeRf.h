// SPDX-License-Identifier: MIT
// Debian's real libbladeRF, loaded through the override like any other
// library, driving the USB-level emulated bladeRF (the test program is linked
// to the emulator, which carries libusb's soname), in an environment no file
// of the machine's can change.
#pragma once

#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/support/TestEnvironment.h"

#include <UsbBladeRfInspection.h>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace veltrano::test {

inline const std::filesystem::path kRealLibBladeRf = "/usr/lib/x86_64-linux-gnu/libbladeRF.so.2";
inline constexpr const char* kEmulatedBladeRfSerial = "7a3c91e0d25b4f86a1c0e9d3b74f2a55";

inline constexpr std::uint64_t kPatternPeriod = 1u << 24;

// The device timestamp modulo 2^24 that the board's receive pattern gives a
// sample, from its 12-bit codes or the floats they scale to.
inline std::uint64_t timestampOf(const std::int16_t* codes)
{
    return static_cast<std::uint64_t>((codes[0] + 2048) + 4096 * (codes[1] + 2048));
}
inline std::uint64_t timestampOf(std::complex<float> sample)
{
    const std::int16_t codes[2] = {static_cast<std::int16_t>(std::lround(sample.real() * 2048.0f)),
                                   static_cast<std::int16_t>(std::lround(sample.imag() * 2048.0f))};
    return timestampOf(codes);
}

// How far b lies after a on the pattern's circle.
inline std::uint64_t distance(std::uint64_t a, std::uint64_t b)
{
    return (b - a) % kPatternPeriod;
}

// Whether each sample follows the one before in device time: none lost, reordered or repeated.
inline bool contiguous(const std::vector<std::uint64_t>& timestamps)
{
    for (std::size_t k = 1; k < timestamps.size(); ++k) {
        if (distance(timestamps[k - 1], timestamps[k]) != 1) {
            return false;
        }
    }
    return !timestamps.empty();
}

// configureRx, and for a plain stream a failed preparation, which empties the
// quick-tune cache: the stream then runs without timestamps.
inline bool configureRx(BladeRfSdrDevice& device, const StreamConfig& config, bool timestamped = true)
{
    return device.configureRx(config) && (timestamped || !device.prepareRxFrequencies({std::nan("")}));
}

// A transmit ramp of count samples: codes as the board gets them, samples as
// floats. I steps through every 12-bit code, Q too and one further each time
// I wraps, so no shift by fewer than 2^24 samples repeats a pair.
inline void codeRamp(std::size_t count, std::vector<std::int16_t>& codes, std::vector<std::complex<float>>& samples)
{
    codes.resize(2 * count);
    samples.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        codes[2 * k] = static_cast<std::int16_t>(static_cast<int>(k % 4096) - 2048);
        codes[2 * k + 1] = static_cast<std::int16_t>(static_cast<int>((k / 4096 + k * 7) % 4096) - 2048);
        samples[k] = {codes[2 * k] / 2048.0f, codes[2 * k + 1] / 2048.0f};
    }
}

// Lets the emulated board run only `ahead` sample periods beyond what one
// reader has taken, and never overflow of itself: a reader that checks what
// arrives then loses nothing however late the machine lets it read (up to
// the library's one-second transfer time-out). The device asks libbladeRF
// for 48 buffers beside those in flight (at least 390,000 periods); a
// reader's next read must fit in `ahead` with a transfer (16,384 periods at
// most) to spare. Made before the stream starts; released before it stops,
// which libbladeRF learns of only as a transfer completes.
class ReceiveGrant {
public:
    explicit ReceiveGrant(std::uint64_t ahead)
        : base_(veltrano_usb_bladerf_rx_samples_delivered(nullptr)), ahead_(ahead)
    {
        grant(0);
    }
    ~ReceiveGrant() { release(); }
    ReceiveGrant(const ReceiveGrant&) = delete;
    ReceiveGrant& operator=(const ReceiveGrant&) = delete;

    // The reader has taken this many periods (and dropped none of its own).
    void grant(std::uint64_t taken) const { veltrano_usb_bladerf_rx_hold_beyond(nullptr, base_ + taken + ahead_); }
    // The board goes back to its own clock.
    void release() const { veltrano_usb_bladerf_rx_hold_beyond(nullptr, 0); }

private:
    std::uint64_t base_;
    std::uint64_t ahead_;
};

// The board opens its journal once per process, so every test shares one file.
inline const std::filesystem::path& journalFile()
{
    static const TemporaryDirectory directory;
    static const std::filesystem::path file = [] {
        setEnvironment("VELTRANO_USB_BLADERF_JOURNAL", (directory / "journal.txt").string());
        return directory / "journal.txt";
    }();
    return file;
}

inline std::vector<std::string> journalSince(std::size_t line)
{
    const std::vector<std::string> lines = readLines(journalFile());
    return {lines.begin() + static_cast<std::ptrdiff_t>(std::min(line, lines.size())), lines.end()};
}

// Skipped where the library is not installed. The board's transmit capture
// goes to capture(), its journal from the test's start to journal(); nothing
// may be left outstanding on the board at the test's end.
class RealLibBladeRf : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kRealLibBladeRf)) {
            GTEST_SKIP() << "Debian's libbladerf2 is not installed (" << kRealLibBladeRf.string() << ")";
        }
        journalStart_ = journalSince(0).size();
    }

    void TearDown() override
    {
        EXPECT_EQ(veltrano_usb_bladerf_transfers_in_flight(), 0);
        EXPECT_EQ(veltrano_usb_bladerf_transfers_allocated(), 0);
        EXPECT_EQ(veltrano_usb_bladerf_open_handles(), 0);
    }

    const std::filesystem::path& capture() const { return capture_; }
    std::vector<std::string> journal() const { return journalSince(journalStart_); }

private:
    TemporaryDirectory scratch_;
    std::filesystem::path capture_ = scratch_ / "tx.sc16";
    ScopedEnvironment library_{"BROMELT_BLADERF_LIBRARY", kRealLibBladeRf.string()};
    // No configuration or calibration file of the machine's may change what the library does.
    ScopedEnvironment home_{"HOME", scratch_.path().string()};
    ScopedEnvironment searchDirectory_{"BLADERF_SEARCH_DIR", scratch_.path().string()};
    ScopedEnvironment captureFile_{"VELTRANO_USB_BLADERF_TX_CAPTURE", capture_.string()};
#ifdef VELTRANO_MICRO_FPGA_TUNING
    // Without it the library drives the AD9361 itself, register by register.
    ScopedEnvironment tuning_{"BLADERF_DEFAULT_TUNING_MODE", "fpga"};
#else
    // Whatever the environment says, the library's own default: host mode.
    ScopedEnvironment tuning_{"BLADERF_DEFAULT_TUNING_MODE", std::nullopt};
#endif
    std::size_t journalStart_ = 0;
};

} // namespace veltrano::test
