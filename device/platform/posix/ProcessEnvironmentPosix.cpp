// SPDX-License-Identifier: MIT
#include "device/platform/ProcessEnvironment.h"

#include <cstdlib>
#include <system_error>

namespace veltrano::platform {

std::optional<std::filesystem::path> executableDirectory()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty()) {
        return std::nullopt;
    }
    return executable.parent_path();
}

const char* narrowEnvironmentValue(const char* name)
{
    return std::getenv(name);
}

std::optional<std::filesystem::path> environmentDirectory(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(value);
}

} // namespace veltrano::platform
