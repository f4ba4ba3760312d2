// SPDX-License-Identifier: MIT
// The antennas of each direction: the board's one port, or the ports of an
// antenna switch the board carries (a HackRF's Opera Cakes), chosen by name
// or by a frequency plan the board follows on every retune.
#include "soapy/SettingText.h"
#include "soapy/SoapyDevice.h"

#include <algorithm>
#include <sstream>

namespace veltrano::soapy {
namespace {

constexpr double kMegahertz = 1e6;

// "A1:2400-2500;B2:100-900": antenna, then its range in MHz, both ends
// inclusive; entries separated by semicolons, or by commas where the text
// is not a device argument (whose commas part the arguments). False when
// the text is not that.
bool parseAntennaPlan(const std::string& text, std::vector<ISdrDevice::AntennaRange>& plan)
{
    std::string separated = text;
    std::replace(separated.begin(), separated.end(), ',', ';');
    std::istringstream entries(separated);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        const std::size_t colon = entry.find(':');
        if (colon == std::string::npos || colon == 0) {
            return false;
        }
        std::istringstream range(entry.substr(colon + 1));
        double lowMhz = 0.0;
        double highMhz = 0.0;
        char dash = 0;
        if (!(range >> lowMhz >> dash >> highMhz) || dash != '-' || !(range >> std::ws).eof()) {
            return false;
        }
        plan.push_back({entry.substr(0, colon), {lowMhz * kMegahertz, highMhz * kMegahertz}});
    }
    return true;
}

} // namespace

std::vector<std::string> SoapyDevice::listAntennas(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    const std::lock_guard lock(boardMutex_);
    std::vector<std::string> names = board_->antennas(chainOf(direction));
    if (names.empty()) {
        names.emplace_back(direction == SOAPY_SDR_TX ? traits_.txAntenna : traits_.rxAntenna);
    }
    return names;
}

void SoapyDevice::setAntenna(int direction, size_t channel, const std::string& name)
{
    const std::string antenna = getAntenna(direction, channel);
    // No name keeps the antenna there is: a client that remembers none for a
    // board with one antenna (CubicSDR) sets it so as it starts the board.
    if (name.empty() || (name == antenna && !offersAntennaPlan())) {
        return;
    }
    const std::lock_guard lock(boardMutex_);
    if (board_->antennas(chainOf(direction)).empty()) {
        fail(std::string("veltrano: no ") + (direction == SOAPY_SDR_TX ? "TX" : "RX") + " antenna '" + name +
             "'; the antenna is " + antenna);
    }
    if (!board_->setAntenna(chainOf(direction), name)) {
        fail("veltrano: the board refused antenna '" + name + "'" + boardReason());
    }
}

std::string SoapyDevice::getAntenna(int direction, size_t channel) const
{
    checkChannel(direction, channel);
    std::string antenna;
    {
        const std::lock_guard lock(boardMutex_);
        antenna = board_->antenna(chainOf(direction));
    }
    return antenna.empty() ? listAntennas(direction, channel).front() : antenna;
}

bool SoapyDevice::offersAntennaPlan() const
{
    return !board_->antennas(StreamDirection::rx).empty();
}

void SoapyDevice::writeAntennaPlan(const std::string& value)
{
    std::vector<ISdrDevice::AntennaRange> plan;
    if (!parseAntennaPlan(value, plan)) {
        fail("veltrano: an antenna plan takes ANTENNA:LOW-HIGH in MHz separated by commas "
             "(\"A1:2400-2500;B2:100-900\"), not '" +
             value + "'");
    }
    if (!board_->setAntennaPlan(plan)) {
        fail("veltrano: the board refused the antenna plan '" + value + "'" + boardReason());
    }
}

std::string SoapyDevice::antennaPlanText() const
{
    std::string text;
    for (const ISdrDevice::AntennaRange& entry : board_->antennaPlan()) {
        text += (text.empty() ? "" : ";") + entry.antenna + ":" + numberText(entry.range.minimumHz / kMegahertz) + "-" +
                numberText(entry.range.maximumHz / kMegahertz);
    }
    return text;
}

} // namespace veltrano::soapy
