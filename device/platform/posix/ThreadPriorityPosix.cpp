// SPDX-License-Identifier: MIT
#include "device/platform/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace veltrano::platform {

void raiseCurrentThreadPriority()
{
    // On Linux the nice value is per thread when addressed by thread id. One
    // step up is the nearest match to "highest normal" priority; without the
    // privilege for it the call fails and the thread keeps its priority.
    const auto threadId = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, threadId);
    if (errno != 0) {
        return;
    }
    static_cast<void>(setpriority(PRIO_PROCESS, threadId, current - 2));
}

} // namespace veltrano::platform
