// SPDX-License-Identifier: MIT
#pragma once

// Why each direction's stream ended by itself, for ISdrDevice::streamEnded.
// The thread that notices the end (a reader, a writer, a drain) records it;
// any thread reads it. A reason is replaced whole with the atomic
// shared-pointer load and store, so a reader never sees half of one.

#include "device/ISdrDevice.h"

#include <memory>
#include <string>

namespace veltrano::detail {

class StreamEndReasons {
public:
    void ended(StreamDirection direction, std::string reason)
    {
        std::atomic_store(&slot(direction), std::make_shared<const std::string>(std::move(reason)));
    }
    // The stream starts again, or its caller stopped it.
    void clear(StreamDirection direction) { std::atomic_store(&slot(direction), std::shared_ptr<const std::string>()); }
    std::string reason(StreamDirection direction) const
    {
        const std::shared_ptr<const std::string> text = std::atomic_load(&reasons_[index(direction)]);
        return text ? *text : std::string();
    }

private:
    static std::size_t index(StreamDirection direction) { return direction == StreamDirection::rx ? 0 : 1; }
    std::shared_ptr<const std::string>& slot(StreamDirection direction) { return reasons_[index(direction)]; }

    std::shared_ptr<const std::string> reasons_[2];
};

} // namespace veltrano::detail
