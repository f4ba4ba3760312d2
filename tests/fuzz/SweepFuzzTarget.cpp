// SPDX-License-Identifier: MIT
// The sweep intake fed arbitrary transfers: any lengths, any bytes, some
// 16384-byte blocks carrying the 0x7F 0x7F marker with any step frequency,
// for any requested range. A model of the 512-entry queue predicts every
// block read (frequency, samples, usable ranges) and the blocks dropped.
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/fuzz/SimulatedLibraries.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace {

using namespace veltrano;
using namespace veltrano::fuzz;

constexpr std::size_t kBlockBytes = 16384;
constexpr std::size_t kQueueEntries = 512;
// At 20 Msps a step is 20 MHz wide, tuned 7.5 MHz above its start.
constexpr double kStepHz = 20e6;
constexpr double kOffsetHz = 7.5e6;

struct QueuedBlock {
    std::uint64_t frequencyHz;
    std::vector<std::uint8_t> tail; // the last 1024 bytes, the samples
};

struct SweepModel {
    double startHz;
    double stopHz;
    std::deque<QueuedBlock> queue;
    std::uint64_t dropped = 0;
};

void deliver(FuzzInput& in, SweepModel& model)
{
    const int bufferLength = static_cast<int>(in.number(300'000));
    const int validLength = validLengthFor(in, bufferLength);
    std::vector<std::uint8_t> buffer = in.buffer(static_cast<std::size_t>(bufferLength), 4096);
    // Most blocks get the marker and a frequency near the requested range.
    const std::uint8_t marking = in.byte();
    for (std::size_t at = 0, block = 0; at + kBlockBytes <= buffer.size(); at += kBlockBytes, ++block) {
        if ((marking >> (block % 8) & 1) == 0) {
            buffer[at] = 0x7F;
            buffer[at + 1] = 0x7F;
            const std::uint64_t frequencyHz = static_cast<std::uint64_t>(model.startHz) / 1'000'000 * 1'000'000 +
                                              std::uint64_t{in.number(400)} * 1'250'000;
            std::memcpy(&buffer[at + 2], &frequencyHz, sizeof frequencyHz);
        }
    }
    if (deliverTransfer()(buffer.data(), bufferLength, validLength) != 0) {
        return;
    }
    const std::size_t usable = static_cast<std::size_t>(std::clamp(validLength, 0, bufferLength));
    for (std::size_t at = 0; at + kBlockBytes <= usable && usable >= kBlockBytes; at += kBlockBytes) {
        if (buffer[at] != 0x7F || buffer[at + 1] != 0x7F) {
            continue;
        }
        if (model.queue.size() >= kQueueEntries) {
            ++model.dropped;
            continue;
        }
        std::uint64_t frequencyHz = 0;
        std::memcpy(&frequencyHz, &buffer[at + 2], sizeof frequencyHz);
        model.queue.push_back({frequencyHz,
                               {buffer.begin() + static_cast<std::ptrdiff_t>(at + kBlockBytes - 1024),
                                buffer.begin() + static_cast<std::ptrdiff_t>(at + kBlockBytes)}});
    }
}

void read(HackRfSdrDevice& device, SweepModel& model)
{
    NativeSweepBlock block;
    const bool got = device.readNativeSweepBlock(block);
    require(got == !model.queue.empty(), "a block is queued");
    if (!got) {
        return;
    }
    const QueuedBlock expected = model.queue.front();
    model.queue.pop_front();
    const double f = static_cast<double>(expected.frequencyHz);
    require(block.centerFrequencyHz == f + kOffsetHz && block.sampleRateHz == kStepHz, "block frequency");
    require(block.sweepStart ==
                (expected.frequencyHz == static_cast<std::uint64_t>(model.startHz) / 1'000'000 * 1'000'000),
            "sweep start");
    std::vector<FrequencyRangeHz> ranges;
    const double q = kStepHz / 4;
    for (const double low : {f, f + 2 * q}) {
        const FrequencyRangeHz range{std::max(model.startHz, low), std::min(model.stopHz, low + q)};
        if (range.maximumHz > range.minimumHz) {
            ranges.push_back(range);
        }
    }
    require(std::ranges::equal(block.validRanges, ranges,
                               [](const FrequencyRangeHz& a, const FrequencyRangeHz& b) {
                                   return a.minimumHz == b.minimumHz && a.maximumHz == b.maximumHz;
                               }),
            "usable ranges");
    require(block.samples == samplesOf(expected.tail, 512), "samples");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    useSimulator("HACKRF", "board F\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    SweepModel model;
    model.startHz = 1e6 + in.number(59'000) * 100'000.0 + in.byte() * 997.0;
    model.stopHz = model.startHz + 1.0 + in.number(60'000) * 10'000.0;
    HackRfSdrDevice device("F");
    if (!device.configureNativeSweep({model.startHz, kStepHz, 15e6, 20.0}, model.startHz, model.stopHz)) {
        return 0; // a plan beyond the board's range; the refusal itself is what was exercised
    }
    require(device.startNativeSweep(), "start");
    while (!in.empty()) {
        if (in.byte() % 3 == 0) {
            read(device, model);
        } else {
            deliver(in, model);
        }
    }
    require(device.sweepDroppedBlocks() == model.dropped, "dropped block count");
    device.stopRx();
    return 0;
}
