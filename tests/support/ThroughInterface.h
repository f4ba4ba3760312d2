// SPDX-License-Identifier: MIT
#pragma once

// What a client that knows only ISdrDevice reads. The backends' tests ask
// for their losses this way, so what they pin is the interface's record.

#include "device/ISdrDevice.h"

namespace veltrano::test {

inline StreamLosses lossesOf(const ISdrDevice& board)
{
    return board.streamLosses();
}

} // namespace veltrano::test
