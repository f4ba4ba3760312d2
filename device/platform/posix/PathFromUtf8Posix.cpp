// SPDX-License-Identifier: MIT
#include "device/PathFromUtf8.h"

namespace veltrano::detail {

// POSIX file names are byte strings: the bytes are the path, whatever their
// encoding, so nothing is decoded here.
std::filesystem::path pathFromUtf8(const char* text)
{
    if (text == nullptr || *text == '\0') {
        return {};
    }
    return std::filesystem::path(text);
}

} // namespace veltrano::detail
