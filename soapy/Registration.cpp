// SPDX-License-Identifier: MIT
// Registers the driver key "veltrano" with SoapySDR: discovery lists every
// HackRF and bladeRF board our enumeration sees, and make opens one of them.
#include "soapy/BoardFamily.h"
#include "soapy/SoapyDevice.h"

#include "device/bladerf/BladeRfEnumeration.h"
#include "device/hackrf/HackRfEnumeration.h"

#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Registry.hpp>

#include <memory>
#include <stdexcept>

namespace veltrano::soapy {
namespace {

constexpr const char* kDriverKey = "veltrano";

// Serials the enumerations invent for a board that reports none, when the
// board is the first of its family: such a board is opened as "the first
// board". A later board without a serial cannot be told apart from it.
bool isFirstBoardPlaceholder(BoardFamily family, const std::string& serial)
{
    return serial == (family == BoardFamily::hackRf ? "HACKRF-USB-01" : "BLADERF-USB-1");
}

bool isPlaceholder(BoardFamily family, const std::string& serial)
{
    const std::string prefix = family == BoardFamily::hackRf ? "HACKRF-USB-" : "BLADERF-USB-";
    return serial.starts_with(prefix);
}

std::string valueOf(const SoapySDR::Kwargs& args, const std::string& key)
{
    const auto found = args.find(key);
    return found == args.end() ? std::string() : found->second;
}

bool wanted(const SoapySDR::Kwargs& args, BoardFamily family, const std::string& serial)
{
    const std::string familyKey = valueOf(args, "family");
    const std::string serialKey = valueOf(args, "serial");
    return (familyKey.empty() || familyKey == traitsOf(family).key) && (serialKey.empty() || serialKey == serial);
}

void addBoard(SoapySDR::KwargsList& boards, BoardFamily family, const std::string& serial, const std::string& label)
{
    SoapySDR::Kwargs board;
    board["driver"] = kDriverKey;
    board["family"] = traitsOf(family).key;
    board["serial"] = serial;
    board["label"] = label + " " + serial;
    boards.push_back(std::move(board));
}

SoapySDR::KwargsList findBoards(const SoapySDR::Kwargs& args)
{
    SoapySDR::KwargsList boards;
    for (const HackRfDeviceSummary& board : enumerateHackRfDevices()) {
        if (wanted(args, BoardFamily::hackRf, board.serial)) {
            addBoard(boards, BoardFamily::hackRf, board.serial, "HackRF One");
        }
    }
    for (const BladeRfDeviceSummary& board : enumerateBladeRfDevices()) {
        if (wanted(args, BoardFamily::bladeRf, board.serial)) {
            addBoard(boards, BoardFamily::bladeRf, board.serial, board.label);
        }
    }
    return boards;
}

SoapySDR::Device* makeBoard(const SoapySDR::Kwargs& args)
{
    const SoapySDR::KwargsList boards = findBoards(args);
    if (boards.empty()) {
        throw std::runtime_error("veltrano: no board matches " + SoapySDR::KwargsToString(args));
    }
    const SoapySDR::Kwargs& board = boards.front();
    BoardFamily family = BoardFamily::hackRf;
    static_cast<void>(familyFromKey(board.at("family"), family));
    const std::string& serial = board.at("serial");
    std::string openSerial = serial;
    if (isFirstBoardPlaceholder(family, serial)) {
        openSerial.clear();
    } else if (isPlaceholder(family, serial)) {
        throw std::runtime_error("veltrano: " + serial +
                                 " reports no serial and is not the first board; it cannot be opened");
    }
    SoapySDR::logf(SOAPY_SDR_INFO, "veltrano: opening %s board %s", traitsOf(family).key, serial.c_str());
    auto device = std::make_unique<SoapyDevice>(family, openBoard(family, openSerial));
    // Arguments that name a setting are the user's first settings.
    device->applySettingArguments(args);
    return device.release();
}

const SoapySDR::Registry registration(kDriverKey, &findBoards, &makeBoard, SOAPY_SDR_ABI_VERSION);

} // namespace
} // namespace veltrano::soapy
