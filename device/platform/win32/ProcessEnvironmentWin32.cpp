// SPDX-License-Identifier: MIT
#include "device/platform/ProcessEnvironment.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace veltrano::platform {

namespace {

// The longest path the wide calls can hand back, plus its terminating NUL.
constexpr DWORD kWideBufferLength = 32768;

} // namespace

std::optional<std::filesystem::path> executableDirectory()
{
    std::wstring buffer(kWideBufferLength, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kWideBufferLength);
    // Zero means failure; a length equal to the buffer size means the name was
    // cut short, and a truncated name points at the wrong directory.
    if (length < 1 || length > kWideBufferLength - 1) {
        return std::nullopt;
    }
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

const char* narrowEnvironmentValue(const char* name)
{
    return std::getenv(name);
}

std::optional<std::filesystem::path> environmentDirectory(const char* name)
{
    // Variable names we ask for are ASCII, so widening byte by byte is exact.
    std::wstring wideName;
    for (const char* c = name; *c != '\0'; ++c) {
        wideName.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    std::wstring buffer(kWideBufferLength, L'\0');
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), kWideBufferLength);
    // Zero covers both "unset" and "empty"; a value too long for the buffer
    // comes back as the size it would need, which is at least the buffer size.
    if (length < 1 || length > kWideBufferLength - 1) {
        return std::nullopt;
    }
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

} // namespace veltrano::platform
