// SPDX-License-Identifier: MIT
#pragma once

#include <cstring>
#include <string>

namespace veltrano::detail {

// Text of a fixed-size character field of a libbladeRF record, ending at the
// first NUL or at the end of the field, whichever comes first: a library that
// fills the whole field must not make us read past it.
template <std::size_t Size>
std::string fixedFieldText(const char (&field)[Size])
{
    return std::string(field, ::strnlen(field, Size));
}

} // namespace veltrano::detail
