// SPDX-License-Identifier: MIT
// Enumeration, open and identification through the real library.
#include "tests/reallib/RealLibHackRf.h"

#include "device/hackrf/HackRfEnumeration.h"

namespace veltrano {
namespace {

using test::kEmulatedSerial;

class RealLibIdentity : public test::RealLibHackRf {};

TEST_F(RealLibIdentity, theProbePrintsTheEmulatedBoardsRecord)
{
    const test::ScopedEnvironment serial("VELTRANO_USB_HACKRF_SERIAL", "00000000000000001234abcd5678ef90");
    EXPECT_EQ(test::runProbe({"hackrf"}),
              (test::ProcessResult{0,
                                   "HACKRF\t00000000000000001234abcd5678ef90\t00000000000000001234abcd5678ef90"
                                   "\t2e+07\t1e+06\t6e+09\n",
                                   ""}));
}

TEST_F(RealLibIdentity, opensTheListedBoardBySerialAndReadsItsVersions)
{
    const std::vector<HackRfDeviceSummary> boards = enumerateHackRfDevices();
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].serial, kEmulatedSerial);
    const HackRfSdrDevice device(boards[0].serial);
    EXPECT_EQ(device.firmwareVersion(), "usb-emulated-2026.01");
    EXPECT_EQ(device.usbApiVersion(), 0x0107);
}

} // namespace
} // namespace veltrano
