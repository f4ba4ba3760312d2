// SPDX-License-Identifier: MIT
#include "device/platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace veltrano::platform {

LibraryHandle loadLibrary(const std::filesystem::path& file)
{
    // RTLD_NOW: a library with unresolved symbols fails here rather than at the
    // first call. RTLD_LOCAL: its symbols never satisfy another library's.
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

LibraryHandle loadLibraryWithLocalDependencies(const std::filesystem::path& file)
{
    return loadLibrary(file);
}

void* findSymbol(LibraryHandle library, const char* name)
{
    return library != nullptr ? dlsym(library, name) : nullptr;
}

void releaseLibrary(LibraryHandle library)
{
    if (library != nullptr) {
        dlclose(library);
    }
}

} // namespace veltrano::platform
