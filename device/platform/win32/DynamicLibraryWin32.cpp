// SPDX-License-Identifier: MIT
#include "device/platform/DynamicLibrary.h"

#include <windows.h>

namespace veltrano::platform {

LibraryHandle loadLibrary(const std::filesystem::path& file)
{
    // The wide call takes the path exactly as the file system names it, so a
    // directory outside the ANSI code page still loads.
    return LoadLibraryW(file.c_str());
}

LibraryHandle loadLibraryWithLocalDependencies(const std::filesystem::path& file)
{
    // A vendor library installed in its own folder ships its dependencies
    // beside it; plain LoadLibraryW would only find those through the current
    // directory or PATH. These flags make the library's folder part of the
    // search, followed by the system's safe default directories.
    constexpr DWORD searchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (HMODULE module = LoadLibraryExW(file.c_str(), nullptr, searchFlags)) {
        return module;
    }
    // Older systems without the search-flag update reject the flags outright;
    // the plain rules are still worth a try there.
    return LoadLibraryW(file.c_str());
}

void* findSymbol(LibraryHandle library, const char* name)
{
    if (library == nullptr) {
        return nullptr;
    }
    const FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    // FARPROC is a function pointer; the header hands out an untyped address
    // and findFunction turns it back into the published pointer type.
    return reinterpret_cast<void*>(address);
}

void releaseLibrary(LibraryHandle library)
{
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
    }
}

} // namespace veltrano::platform
