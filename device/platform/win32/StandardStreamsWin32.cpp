// SPDX-License-Identifier: MIT
#include "device/platform/StandardStreams.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace veltrano::platform {

void useBinaryStandardStreams()
{
    // The C runtime opens the standard streams in text mode and writes "\r\n"
    // for every "\n", into pipes and files alike. Our output is read by scripts
    // that expect exactly the bytes we print, so translation is switched off.
    static_cast<void>(_setmode(_fileno(stdout), _O_BINARY));
    static_cast<void>(_setmode(_fileno(stderr), _O_BINARY));
}

} // namespace veltrano::platform
