// SPDX-License-Identifier: MIT
#include "hackrf/model/HackRfSampleCore.h"

#include <algorithm>
#include <cstdlib>

namespace veltrano::sim::hackrf {
namespace {

constexpr std::uint64_t kCoreStepBytes = 32;

} // namespace

std::vector<HostHold> hostHoldsFromText(const std::string& text)
{
    std::vector<HostHold> holds;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string entry = text.substr(at, end - at);
        const std::size_t colon = entry.find(':');
        if (colon != std::string::npos) {
            const auto milliseconds = std::strtoull(entry.c_str() + colon + 1, nullptr, 10);
            holds.push_back({std::strtoull(entry.c_str(), nullptr, 0), std::chrono::milliseconds(milliseconds)});
        }
        at = end + 1;
    }
    return holds;
}

void SampleCore::start(Mode mode)
{
    requestedMode_ = mode_ = mode;
    shortfalls_ = 0;
    longestShortfall_ = 0;
    shortfallLimit_ = mode == receive ? receiveLimit_ : transmitLimit_;
    error_ = none;
}

std::uint64_t SampleCore::fallBehind(std::uint64_t dueBytes)
{
    // Before the first transmitted bytes the core sends zeros without counting.
    if (mode_ == idle || mode_ == transmitStart || dueBytes <= kCoreBufferBytes) {
        return 0;
    }
    std::uint64_t length = (dueBytes - kCoreBufferBytes) / kCoreStepBytes * kCoreStepBytes;
    if (length == 0) {
        return 0;
    }
    ++shortfalls_;
    // The core checks the limit after every step: it stops on the first step
    // that reaches it, idle with the direction's error.
    if (shortfallLimit_ != 0 && length >= shortfallLimit_) {
        length = (shortfallLimit_ + kCoreStepBytes - 1) / kCoreStepBytes * kCoreStepBytes;
        error_ = mode_ == receive ? receiveTimeout : transmitTimeout;
        mode_ = idle;
    }
    longestShortfall_ = std::max<std::uint32_t>(longestShortfall_, static_cast<std::uint32_t>(length));
    return length;
}

void SampleCore::record(unsigned char* words, std::uint32_t coreBytes, std::uint32_t usbBytes) const
{
    // Requested mode (its request flag clear: the core took it), active mode,
    // the two byte counts, shortfalls, the longest, the limit, the mode-change
    // threshold, the next mode and the error.
    const std::uint32_t values[10] = {requestedMode_,    mode_,           coreBytes, usbBytes, shortfalls_,
                                      longestShortfall_, shortfallLimit_, 0,         mode_,    error_};
    for (std::size_t word = 0; word < 10; ++word) {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            words[4 * word + byte] = static_cast<unsigned char>(values[word] >> (8 * byte));
        }
    }
}

} // namespace veltrano::sim::hackrf
