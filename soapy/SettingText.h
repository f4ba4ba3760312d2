// SPDX-License-Identifier: MIT
// Numbers in setting values: as short as they can be without losing the
// value (2407500000, not 2407500000.000000).
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

namespace veltrano::soapy {

inline std::string numberText(double value)
{
    std::ostringstream text;
    text << std::setprecision(15) << value;
    return text.str();
}

} // namespace veltrano::soapy
