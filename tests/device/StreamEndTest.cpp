// SPDX-License-Identifier: MIT
// Why a stream ended, as a client that knows only ISdrDevice asks it: the
// reason after the board left, after a library failure and after a drained
// HackRF transmit; nothing before the start, while it runs, or once the
// caller stopped it.
#include "device/bladerf/BladeRfSdrDevice.h"
#include "tests/hackrf/HackRfStreamFixture.h"
#include "tests/support/SimulationFixture.h"

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <thread>

namespace veltrano {
namespace {

using ::testing::IsEmpty;
using ::testing::StartsWith;

enum class Family { hackRf, bladeRf };

struct EndCase {
    const char* name;
    Family family;
    const char* script;
    StreamDirection direction;
    std::function<bool(ISdrDevice&)> start;
    // The client's calls that meet the end (the fault, for a HackRF, too).
    std::function<void(ISdrDevice&)> meetTheEnd;
    const char* reason; // how streamEnded begins
};

bool receive(ISdrDevice& board)
{
    const StreamConfig config{915e6, 4e6, 0.0, 20.0};
    return board.configureRx(config) && board.startRx();
}

bool sweep(ISdrDevice& board)
{
    return board.configureNativeSweep({0.0, 20e6, 0.0, 20.0}, 2'400e6, 2'483.5e6) && board.startNativeSweep();
}

bool transmit(ISdrDevice& board)
{
    return board.configureTx({915e6, 4e6, 1.75e6, 0.0}) && board.startTx();
}

void killTheHackRfStream()
{
    ASSERT_EQ(test::HackRfSimulatorControl().kill(HACKRF_ERROR_LIBUSB), 0);
}

void readOnce(ISdrDevice& board)
{
    std::complex<float> samples[1024];
    EXPECT_EQ(board.readSamples(samples, 1024), 0u);
}

void writeOnce(ISdrDevice& board)
{
    const std::vector<std::complex<float>> samples(1024);
    static_cast<void>(board.writeSamples(samples.data(), samples.size()));
}

// The board sends the written samples, libhackrf flushes and ends the stream.
void drainTheHackRf(ISdrDevice& board)
{
    writeOnce(board);
    std::thread drainer([&board] { EXPECT_TRUE(board.drainTx({})); });
    // A draining stream takes no more samples: then the transfers that end it are due.
    const std::complex<float> filler(0.5F, -0.5F);
    while (board.writeSamples(&filler, 1) == 1) {
        std::this_thread::yield();
    }
    const test::HackRfSimulatorControl sim;
    while (sim.pull(4096, nullptr, nullptr) == 0) {
    }
    drainer.join();
}

const EndCase kCases[] = {
    {"hackRfBoardLeftReceive", Family::hackRf, "", StreamDirection::rx, receive,
     [](ISdrDevice& board) {
         killTheHackRfStream();
         readOnce(board);
     },
     "RX stream stopped: HACKRF_ERROR_LIBUSB"},
    {"hackRfBoardLeftSweep", Family::hackRf, "", StreamDirection::rx, sweep,
     [](ISdrDevice& board) {
         killTheHackRfStream();
         NativeSweepBlock block;
         EXPECT_FALSE(board.readNativeSweepBlock(block));
     },
     "native sweep stopped: HACKRF_ERROR_LIBUSB"},
    {"hackRfBoardLeftTransmit", Family::hackRf, "", StreamDirection::tx, transmit,
     [](ISdrDevice& board) {
         killTheHackRfStream();
         writeOnce(board);
         EXPECT_FALSE(board.drainTx({}));
     },
     "TX stream stopped: HACKRF_ERROR_LIBUSB"},
    {"hackRfDrained", Family::hackRf, "", StreamDirection::tx, transmit, drainTheHackRf, "TX stream drained"},
    {"bladeRfBoardLeftReceive", Family::bladeRf, "unplug bladerf_sync_rx 2 -7\n", StreamDirection::rx, receive,
     [](ISdrDevice& board) {
         std::complex<float> samples[1024];
         ASSERT_EQ(board.readSamples(samples, 1024), 1024u);
         readOnce(board);
     },
     "RX stream stopped: "},
    {"bladeRfLibraryFailedReceive", Family::bladeRf, "fail bladerf_sync_rx 1 -5\n", StreamDirection::rx, receive,
     readOnce, "RX stream stopped: "},
    {"bladeRfLibraryFailedTransmit", Family::bladeRf, "fail bladerf_sync_tx 1 -5\n", StreamDirection::tx, transmit,
     writeOnce, "TX stream stopped: "},
};

class StreamEnd : public test::Simulation, public ::testing::WithParamInterface<EndCase> {
protected:
    std::unique_ptr<ISdrDevice> open(const EndCase& each)
    {
        if (each.family == Family::hackRf) {
            simulateHackRf(std::string("board A\n") + each.script);
            return std::make_unique<HackRfSdrDevice>("A");
        }
        simulateBladeRf(std::string("board serial=A\n") + each.script);
        return std::make_unique<BladeRfSdrDevice>("A");
    }
};

TEST_P(StreamEnd, givesTheReasonAfterTheStreamEndedByItselfAndNothingAfterTheCallersStop)
{
    const EndCase& each = GetParam();
    const std::unique_ptr<ISdrDevice> device = open(each);
    ISdrDevice& board = *device;
    const StreamDirection other = each.direction == StreamDirection::rx ? StreamDirection::tx : StreamDirection::rx;
    EXPECT_THAT(board.streamEnded(each.direction), IsEmpty());
    ASSERT_TRUE(each.start(board));
    EXPECT_THAT(board.streamEnded(each.direction), IsEmpty());

    each.meetTheEnd(board);
    EXPECT_THAT(board.streamEnded(each.direction), StartsWith(each.reason));
    EXPECT_THAT(board.streamEnded(other), IsEmpty());

    if (each.direction == StreamDirection::rx) {
        board.stopRx();
    } else {
        board.stopTx();
    }
    EXPECT_THAT(board.streamEnded(each.direction), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Ends, StreamEnd, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
