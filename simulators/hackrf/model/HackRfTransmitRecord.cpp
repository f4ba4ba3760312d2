// SPDX-License-Identifier: MIT
#include "hackrf/model/HackRfTransmitRecord.h"

#include <algorithm>

namespace veltrano::sim::hackrf {

void TransmitRecord::captureTo(const std::string& path)
{
    capture_.reset(path.empty() ? nullptr : std::fopen(path.c_str(), "ab"));
}

void TransmitRecord::record(const unsigned char* bytes, std::size_t count)
{
    const std::size_t room = keptLimit_ - std::min(kept_.size(), keptLimit_);
    kept_.insert(kept_.end(), bytes, bytes + std::min(count, room));
    recorded_ += count;
    // Flushed at once: a program run against the board may end without exit handlers.
    if (capture_ != nullptr) {
        std::fwrite(bytes, 1, count, capture_.get());
        std::fflush(capture_.get());
    }
}

std::size_t TransmitRecord::copy(unsigned char* out, std::uint64_t offset, std::size_t capacity) const
{
    if (out == nullptr || offset >= kept_.size()) {
        return 0;
    }
    const auto first = kept_.begin() + static_cast<std::ptrdiff_t>(offset);
    const std::size_t count = std::min<std::size_t>(capacity, kept_.size() - offset);
    std::copy_n(first, count, out);
    return count;
}

std::size_t TransmitRecord::take(unsigned char* out, std::size_t capacity)
{
    const std::size_t count = copy(out, 0, capacity);
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

} // namespace veltrano::sim::hackrf
