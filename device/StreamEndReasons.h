// SPDX-License-Identifier: MIT
// Why each direction's stream ended by itself, for ISdrDevice::streamEnded.
// The thread that notices the end (a reader, a writer, a drain) records it;
// any thread reads it. A reason is replaced whole with the atomic
// shared-pointer load and store, so a reader never sees half of one.
#pragma once

#include "device/ISdrDevice.h"

#include <memory>
#include <string>

namespace veltrano::detail {

/// The reason each direction's stream ended by itself; empty while none did.
class StreamEndReasons {
public:
    /// The direction's stream ended by itself, for this reason.
    void ended(StreamDirection direction, std::string reason)
    {
        std::atomic_store(&slot(direction), std::make_shared<const std::string>(std::move(reason)));
    }
    /// The direction's stream starts again, or its caller stopped it.
    void clear(StreamDirection direction) { std::atomic_store(&slot(direction), std::shared_ptr<const std::string>()); }
    /// The reason recorded last; empty after a clear.
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
