// SPDX-License-Identifier: MIT
#include "device/PathFromUtf8.h"

#include <windows.h>

#include <string>

namespace veltrano::detail {

std::filesystem::path pathFromUtf8(const char* text)
{
    if (text == nullptr || *text == '\0') {
        return {};
    }
    // Strict UTF-8 first: MB_ERR_INVALID_CHARS makes a malformed sequence fail
    // instead of silently becoming U+FFFD. The C runtime's environment is in
    // the ANSI code page, though, so text that is not UTF-8 is read that way.
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int length = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (length <= 0) {
        codePage = CP_ACP;
        flags = 0;
        length = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
        if (length <= 0) {
            return {};
        }
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(codePage, flags, text, -1, wide.data(), length) <= 0) {
        return {};
    }
    // A length of -1 converts the terminating NUL too; it is no part of the name.
    if (!wide.empty() && wide.back() == L'\0') {
        wide.pop_back();
    }
    return std::filesystem::path(wide);
}

} // namespace veltrano::detail
