// SPDX-License-Identifier: MIT
#pragma once

// The few things a simulator needs from the operating system: where its own
// file is, environment variables naming files, and opening such files.

#include <cstdio>
#include <optional>
#include <string>

namespace veltrano::sim {

// A file name as the operating system spells it: UTF-16 on Windows, bytes elsewhere.
#if defined(_WIN32)
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

// The value of an environment variable naming a file; nothing when it is unset or empty.
std::optional<NativePath> environmentPath(const char* variable);

// fopen with a file name in the native spelling. mode is plain ASCII ("rb", "ab").
std::FILE* openFile(const NativePath& path, const char* mode);

// The file name (no directory) of the shared library this code was linked into,
// in UTF-8; "(unknown)" if the system cannot tell.
std::string ownModuleFileName();

} // namespace veltrano::sim
