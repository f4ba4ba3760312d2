// SPDX-License-Identifier: MIT
// Debian's real libhackrf, loaded through the override like any other
// library, driving the USB-level emulated board: the test program is linked
// to the emulator, which carries libusb's soname, so the real library binds
// to it instead of the system's libusb.
#pragma once

#include "device/hackrf/HackRfSdrDevice.h"
#include "simulators/usb-engine/PatternFollower.h"
#include "tests/reallib/CallTiming.h"
#include "tests/support/TestEnvironment.h"

#include <UsbHackRfInspection.h>

#include <gtest/gtest.h>

#include <algorithm>
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
// bytes as the board sent them. `read` (native samples into bytes, count of
// them) runs each read, so a caller can time it.
inline std::vector<std::uint8_t> receiveBytes(HackRfSdrDevice& device, std::size_t bytes,
                                              const std::function<std::size_t(std::uint8_t*, std::size_t)>& read = {})
{
    std::vector<std::uint8_t> received(bytes);
    std::size_t filled = 0;
    eventually([&] {
        const std::size_t wanted = std::min<std::size_t>(65536, (bytes - filled) / 2);
        std::uint8_t* into = received.data() + filled;
        filled += 2 * (read ? read(into, wanted) : device.readNativeSamples(into, wanted));
        return filled >= bytes || !device.lastError().empty();
    });
    received.resize(filled);
    return received;
}

// Where the bytes start in the emulated board's receive pattern, if they
// start on a step of it and every step follows on.
inline std::optional<std::uint64_t> streamPositionOf(const std::vector<std::uint8_t>& bytes)
{
    sim::usb::PatternFollower follower(sim::usb::ReceivePattern::hackRf);
    follower.take(bytes.data(), bytes.size());
    if (bytes.size() < 8 || follower.breaks() != 0 || follower.steps() != bytes.size() / 4) {
        return std::nullopt;
    }
    return 4 * (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint64_t{bytes[3]} << 24);
}

} // namespace veltrano::test
