// SPDX-License-Identifier: MIT
#include "device/platform/ThreadPriority.h"

#include <windows.h>

namespace veltrano::platform {

void raiseCurrentThreadPriority()
{
    // HIGHEST is the top of the normal range: it needs no privilege, unlike
    // TIME_CRITICAL, and cannot starve the system. A refusal leaves the thread
    // where it was, which is still correct, only less punctual.
    static_cast<void>(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
}

} // namespace veltrano::platform
