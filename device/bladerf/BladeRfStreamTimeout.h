// SPDX-License-Identifier: MIT
// Whether a board whose stream call timed out is still there. libbladeRF
// 2022.11 tells a caller that its stream ended (the board left) only when the
// caller is waiting in bladerf_sync_rx or bladerf_sync_tx at the moment the
// stream's worker ends: the worker wakes the waiter once, and a call that
// comes later waits for a buffer that never comes and times out, for ever.
// And a receive call after a stream that ended restarts it; on a board that
// left, the restarted worker can submit no transfer and waits for one for
// ever, so the stop that follows waits 3 s and then cancels the worker thread
// inside libusb. So after a time-out the board is asked for the direction's
// clock (one NIOS request): a board that is gone answers BLADERF_ERR_NODEV at
// once, a silent one times out (250 ms), a streaming one answers.
#pragma once

#include "device/bladerf/BladeRfApi.h"

#include <libbladeRF.h>

namespace veltrano::detail {

// 0 when the board answers (or the library cannot ask it), else the library's error.
inline int askBoard(bladerf* device, bladerf_direction direction)
{
    const BladeRfApi& api = bladeRfApi();
    bladerf_timestamp now = 0;
    const int result = api.getTimestamp != nullptr ? api.getTimestamp(device, direction, &now) : 0;
    return result < 0 ? result : 0;
}

} // namespace veltrano::detail
