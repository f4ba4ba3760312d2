// SPDX-License-Identifier: MIT
#include "device/platform/StandardStreams.h"

namespace veltrano::platform {

// POSIX streams never translate line ends.
void useBinaryStandardStreams() {}

} // namespace veltrano::platform
