// SPDX-License-Identifier: MIT
// Setting values as text: numbers as short as they can be without losing
// the value (2407500000, not 2407500000.000000), and switches.
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

// "true" or "false" (as SoapySDR writes a bool), or 1 or 0; false on anything else.
inline bool parseSwitch(const std::string& text, bool& enabled)
{
    if (text == "true" || text == "1") {
        enabled = true;
        return true;
    }
    if (text == "false" || text == "0") {
        enabled = false;
        return true;
    }
    return false;
}

} // namespace veltrano::soapy
