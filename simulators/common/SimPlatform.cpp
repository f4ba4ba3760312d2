// SPDX-License-Identifier: MIT
#include "common/SimPlatform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#include <dlfcn.h>
#endif

namespace veltrano::sim {
namespace {

// Any address inside this library identifies it to the loader.
const char moduleAnchor = 0;

std::string fileNameOnly(const std::string& path)
{
    const auto separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

} // namespace

#if defined(_WIN32)

std::optional<NativePath> environmentPath(const char* variable)
{
    // The Win32 environment, not the C runtime's copy: tests may set it either way,
    // and _wputenv updates both.
    const std::wstring name(variable, variable + std::char_traits<char>::length(variable));
    const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed <= 1) {
        return std::nullopt;
    }
    std::wstring value(needed, L'\0');
    const DWORD written = GetEnvironmentVariableW(name.c_str(), value.data(), needed);
    if (written == 0 || written >= needed) {
        return std::nullopt;
    }
    value.resize(written);
    return value;
}

std::FILE* openFile(const NativePath& path, const char* mode)
{
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}

std::string ownModuleFileName()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&moduleAnchor), &module)) {
        return "(unknown)";
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return "(unknown)";
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2); // truncated: try a larger buffer
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), utf8.data(), bytes, nullptr,
                            nullptr);
    }
    return fileNameOnly(utf8);
}

#else

std::optional<NativePath> environmentPath(const char* variable)
{
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return NativePath(value);
}

std::FILE* openFile(const NativePath& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

std::string ownModuleFileName()
{
    Dl_info info{};
    if (dladdr(&moduleAnchor, &info) == 0 || info.dli_fname == nullptr) {
        return "(unknown)";
    }
    return fileNameOnly(info.dli_fname);
}

#endif

} // namespace veltrano::sim
