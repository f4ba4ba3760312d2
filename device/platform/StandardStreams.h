// SPDX-License-Identifier: MIT
#pragma once

namespace veltrano::platform {

// Makes standard output and standard error write bytes unchanged, so that "\n"
// stays "\n" in pipes and files (Windows text mode would write "\r\n").
void useBinaryStandardStreams();

} // namespace veltrano::platform
