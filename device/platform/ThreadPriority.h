// SPDX-License-Identifier: MIT
#pragma once

namespace veltrano::platform {

// Raises the calling thread to the highest priority an ordinary process may
// take (THREAD_PRIORITY_HIGHEST on Windows, a small nice step elsewhere).
// Failure is ignored: the thread simply runs at its old priority.
void raiseCurrentThreadPriority();

} // namespace veltrano::platform
