// SPDX-License-Identifier: MIT
// What the process knows about where it runs: its own executable and its
// environment variables.
#pragma once

#include <filesystem>
#include <optional>

namespace veltrano::platform {

// Directory holding the running executable (GetModuleFileNameW on Windows,
// /proc/self/exe elsewhere); empty when the name cannot be read whole.
std::optional<std::filesystem::path> executableDirectory();

// Raw narrow value of an environment variable as the C runtime's getenv sees
// it; null when unset. The pointer is only valid until the environment changes.
const char* narrowEnvironmentValue(const char* name);

// A directory named by an environment variable, read in the system's native
// character set (GetEnvironmentVariableW on Windows). Empty when the variable
// is unset, empty, or longer than 32767 characters.
std::optional<std::filesystem::path> environmentDirectory(const char* name);

} // namespace veltrano::platform
