// SPDX-License-Identifier: MIT
// Debian's real libhackrf, loaded through the override like any other
// library, driving the USB-level emulated board: the test program is linked
// to the emulator, which carries libusb's soname, so the real library binds
// to it instead of the system's libusb.
#pragma once

#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/reallib/CallTiming.h"
#include "tests/support/TestEnvironment.h"

#include <UsbHackRfInspection.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace veltrano::test {

inline const std::filesystem::path kRealLibHackRf = "/usr/lib/x86_64-linux-gnu/libhackrf.so.0";
inline constexpr const char* kEmulatedSerial = "0000000000000000457863c82b6e2e5f";

class RealLibHackRf : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kRealLibHackRf)) {
            GTEST_SKIP() << "Debian's libhackrf0 is not installed (" << kRealLibHackRf.string() << ")";
        }
    }

private:
    ScopedEnvironment override_{"BROMELT_HACKRF_LIBRARY", kRealLibHackRf.string()};
};

// Reads until `bytes` stream bytes arrived or the stream reports its end; the
// bytes as the board sent them (I / 128, Q / 128 on the way in). `read` runs
// each read, so a caller can time it.
inline std::vector<std::uint8_t> receiveBytes(
    HackRfSdrDevice& device, std::size_t bytes,
    const std::function<std::size_t(std::complex<float>*, std::size_t)>& read = {})
{
    std::vector<std::uint8_t> received;
    std::vector<std::complex<float>> samples(65536);
    eventually([&] {
        const std::size_t wanted = std::min(samples.size(), (bytes - received.size()) / 2);
        const std::size_t count = read ? read(samples.data(), wanted) : device.readSamples(samples.data(), wanted);
        for (std::size_t i = 0; i < count; ++i) {
            received.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(samples[i].real() * 128.0f)));
            received.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(samples[i].imag() * 128.0f)));
        }
        return received.size() >= bytes || !device.lastError().empty();
    });
    return received;
}

// The emulated board's receive pattern (byte p is byte p % 4 of the
// little-endian p / 4): where the bytes start in the stream, if every byte
// follows on.
inline std::optional<std::uint64_t> streamPositionOf(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    const std::uint64_t first = 4 * (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint64_t{bytes[3]} << 24);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != static_cast<std::uint8_t>(((first + i) / 4) >> (8 * ((first + i) % 4)))) {
            return std::nullopt;
        }
    }
    return first;
}

} // namespace veltrano::test
