// SPDX-License-Identifier: MIT
// Debian's real libhackrf, loaded through the override like any other
// library, driving the USB-level emulated board: the test program is linked
// to the emulator, which carries libusb's soname, so the real library binds
// to it instead of the system's libusb.
#pragma once

#include "tests/support/TestEnvironment.h"

#include <UsbHackRfInspection.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

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
        override_.emplace("BROMELT_HACKRF_LIBRARY", kRealLibHackRf.string());
    }

private:
    std::optional<ScopedEnvironment> override_;
};

} // namespace veltrano::test
