// SPDX-License-Identifier: MIT
#pragma once

// The inspection functions' lookup of a value by the name a caller asks for.

#include <cstddef>
#include <string_view>
#include <utility>

namespace veltrano::sim {

// The value named by name among these; -1 for a null or unknown name.
template <typename T, std::size_t N>
T named(const char* name, const std::pair<std::string_view, T> (&values)[N])
{
    const std::string_view wanted = name != nullptr ? name : "";
    for (const auto& [key, value] : values) {
        if (key == wanted) {
            return value;
        }
    }
    return T(-1);
}

} // namespace veltrano::sim
