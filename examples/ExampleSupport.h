// SPDX-License-Identifier: MIT
// Small helpers the three examples share: reading numbers from the command
// line, opening the first board of a family, and turning a device's refusal
// into an exception that carries the device's own explanation.
#pragma once

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

// The exit status for a wrong command line (EX_USAGE of sysexits.h).
constexpr int kUsageStatus = 64;
// Streams that must make progress are polled this often, and given up on
// after this long without any.
constexpr auto kPollInterval = std::chrono::milliseconds(1);
constexpr auto kStallLimit = std::chrono::seconds(5);

// A finite decimal number (scientific notation welcome: 2.4e9), or an exception naming the argument.
inline double parseNumber(const char* text, const char* what)
{
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value)) {
        throw std::invalid_argument(std::string(what) + " is not a number: '" + text + "'");
    }
    return value;
}

// A count of at least one; 1e6 is accepted as well as 1000000.
inline std::uint64_t parseCount(const char* text, const char* what)
{
    const double value = parseNumber(text, what);
    if (value < 1.0 || value > 1e15 || value != std::floor(value)) {
        throw std::invalid_argument(std::string(what) + " must be a whole number of at least 1: '" + text + "'");
    }
    return static_cast<std::uint64_t>(value);
}

// Opens the first board of the family "hackrf" or "bladerf". An empty serial
// asks the backend for the first board it sees; when there is none, or the
// vendor library is missing, the constructor throws with the reason.
inline std::unique_ptr<veltrano::ISdrDevice> openFirstBoard(const std::string& family)
{
    if (family == "hackrf") {
        return std::make_unique<veltrano::HackRfSdrDevice>("");
    }
    if (family == "bladerf") {
        return std::make_unique<veltrano::BladeRfSdrDevice>("");
    }
    throw std::invalid_argument("unknown board family '" + family + "' (hackrf or bladerf)");
}

// Operations after the open report failure by their result; the HackRF
// backend also keeps a text saying why, the bladeRF backend does not.
inline std::runtime_error deviceFailure(const veltrano::ISdrDevice& device, const std::string& what)
{
    const std::string reason = device.lastError();
    return std::runtime_error(what + " failed" + (reason.empty() ? "" : ": " + reason));
}
