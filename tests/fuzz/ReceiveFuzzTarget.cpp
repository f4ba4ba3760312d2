// SPDX-License-Identifier: MIT
// The receive path fed arbitrary transfers: any buffer and valid lengths
// (odd, negative, larger than the buffer), any bytes, interleaved with
// readSamples calls of any size and with retunes. A model of the 4 MiB ring
// predicts every sample read, the count of bytes dropped when it is full and
// where each read ends: at a gap that those drops left, which the next read
// then reports by returning nothing.
#include "device/hackrf/HackRfSdrDevice.h"
#include "tests/fuzz/SimulatedLibraries.h"

#include <algorithm>
#include <complex>
#include <deque>
#include <vector>

namespace {

using namespace veltrano;
using namespace veltrano::fuzz;

constexpr std::size_t kRingBytes = 4'194'304;
constexpr std::uint64_t kRetuneDiscardBytes = 1'310'720;

// What the device should hold: the bytes in its ring from position on, the
// retune discard still due, and the positions of the gaps not yet reached.
struct RingModel {
    std::deque<std::uint8_t> bytes;
    std::uint64_t position = 0;
    std::deque<std::uint64_t> gaps;
    std::uint64_t discard = 0;
    std::uint64_t dropped = 0;
    double frequencyHz = 100e6;

    // Passes the gaps at or behind the read position; true if any.
    bool passGaps()
    {
        const std::size_t before = gaps.size();
        while (!gaps.empty() && gaps.front() <= position) {
            gaps.pop_front();
        }
        return gaps.size() != before;
    }
    void take(std::size_t count)
    {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
        position += count;
    }
};

void deliver(FuzzInput& in, RingModel& model)
{
    const int bufferLength = static_cast<int>(in.number(400'000));
    const int validLength = validLengthFor(in, bufferLength);
    std::vector<std::uint8_t> buffer = in.buffer(static_cast<std::size_t>(bufferLength), 4096);
    if (deliverTransfer()(buffer.data(), bufferLength, validLength) != 0) {
        return;
    }
    const std::size_t usable = static_cast<std::size_t>(std::clamp(validLength, 0, bufferLength)) & ~std::size_t{1};
    if (usable < 2) {
        return;
    }
    const std::size_t stored = std::min(usable, kRingBytes - model.bytes.size());
    model.bytes.insert(model.bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(stored));
    model.dropped += usable - stored;
    const std::uint64_t gapAt = model.position + model.bytes.size();
    if (stored < usable && (model.gaps.empty() || model.gaps.back() != gapAt)) {
        model.gaps.push_back(gapAt);
    }
}

void read(FuzzInput& in, HackRfSdrDevice& device, RingModel& model)
{
    // Only when data is due: an empty ring makes readSamples wait out its polls.
    if (model.bytes.size() <= model.discard) {
        return;
    }
    const std::size_t count = in.number(200'000) + 1;
    model.take(static_cast<std::size_t>(model.discard));
    model.discard = 0;
    std::vector<std::complex<float>> samples(count);
    const std::size_t got = device.readSamples(samples.data(), count);
    if (model.passGaps()) {
        require(got == 0, "a read that starts on a gap returns nothing");
        return;
    }
    const std::uint64_t toGap = model.gaps.empty() ? model.bytes.size() : model.gaps.front() - model.position;
    require(got == std::min<std::uint64_t>(count, std::min<std::uint64_t>(model.bytes.size(), toGap) / 2),
            "readSamples count");
    samples.resize(got);
    require(samples == samplesOf(model.bytes, got), "sample values");
    model.take(2 * got);
    model.passGaps();
}

void retune(FuzzInput& in, HackRfSdrDevice& device, RingModel& model)
{
    const double frequencyHz = 1e6 + in.number(60'000) * 100'000.0;
    require(device.setRxFrequency(frequencyHz), "retune");
    if (frequencyHz != model.frequencyHz) {
        model.position += model.bytes.size();
        model.bytes.clear();
        model.discard = kRetuneDiscardBytes;
        model.frequencyHz = frequencyHz;
    }
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
    HackRfSdrDevice device("F");
    RingModel model;
    require(device.configureRx({model.frequencyHz, 10e6, 10e6, 20.0}) && device.startRx(), "start");
    while (!in.empty()) {
        switch (in.byte() % 4) {
        case 0:
        case 1:
            deliver(in, model);
            break;
        case 2:
            read(in, device, model);
            break;
        default:
            retune(in, device, model);
            break;
        }
    }
    require(device.rxDroppedBytes() == model.dropped, "dropped byte count");
    device.stopRx();
    return 0;
}
