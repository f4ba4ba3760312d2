// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>

namespace veltrano::detail {

// Turns narrow environment text into a file-system path: read as UTF-8 when
// it is valid UTF-8, otherwise in the system's ANSI code page (Windows). On
// POSIX systems a path is bytes, so the bytes are taken as they are.
// A null or empty text, or one that cannot be converted, gives an empty path.
std::filesystem::path pathFromUtf8(const char* text);

} // namespace veltrano::detail
