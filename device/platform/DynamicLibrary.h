// SPDX-License-Identifier: MIT
// Loading a shared library by path and resolving its entry points.
// On Windows these are LoadLibraryW / LoadLibraryExW, GetProcAddress and
// FreeLibrary; elsewhere dlopen, dlsym and dlclose.
#pragma once

#include <filesystem>

namespace veltrano::platform {

// The operating system's module handle (HMODULE on Windows, the dlopen handle
// elsewhere), null when nothing is loaded.
using LibraryHandle = void*;

// Loads the file with the system's plain rules: LoadLibraryW on Windows,
// dlopen(RTLD_NOW | RTLD_LOCAL) elsewhere. A path without a directory part is
// resolved by the system loader's own search. Null when it does not load.
LibraryHandle loadLibrary(const std::filesystem::path& file);

// Like loadLibrary, but on Windows first lets the library's own directory
// supply its dependencies (LoadLibraryExW with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), falling back to LoadLibraryW. dlopen
// already resolves dependencies through the library's own run path.
LibraryHandle loadLibraryWithLocalDependencies(const std::filesystem::path& file);

// The exported symbol's address, or null when the library lacks it.
void* findSymbol(LibraryHandle library, const char* name);

// Releases one reference taken by a load call. Null is ignored.
void releaseLibrary(LibraryHandle library);

// Converts a resolved symbol to the function-pointer type published for it.
template <typename FunctionPointer>
FunctionPointer findFunction(LibraryHandle library, const char* name)
{
    return reinterpret_cast<FunctionPointer>(findSymbol(library, name));
}

// Stores the exported function's address in entry, null when the library lacks it.
template <typename FunctionPointer>
void resolveFunction(LibraryHandle library, FunctionPointer& entry, const char* name)
{
    entry = findFunction<FunctionPointer>(library, name);
}

} // namespace veltrano::platform
