// SPDX-License-Identifier: MIT
// The SoapySDR module's text intakes, reachable from the network through
// SoapyRemote: device arguments (as a remote make sends them), setting keys
// and values, gain, antenna and frequency element names, with numbers of every
// kind, on an idle or running receive stream of either family's simulated
// board. A refusal is a std::runtime_error; a crash, undefined behaviour, any
// other exception or a stream that stops is a finding.
#include "tests/fuzz/SimulatedLibraries.h"

#include "soapy/BoardFamily.h"
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Types.hpp>

#include <cstring>
#include <limits>

namespace {

using namespace veltrano::fuzz;
using veltrano::soapy::BoardFamily;
using veltrano::soapy::SoapyDevice;

// Names the module knows, so that inputs reach past the first comparison.
// clang-format off
const char* const kWords[] = {"LNA", "VGA", "AMP", "RF", "BB", "TX/RX", "RX", "TX", "bias_tx", "biastee_rx",
                              "biastee_tx", "rx_amplifier", "native_sweep", "rx_hop_frequencies", "last_error",
                              "true", "false", "1", "0", ""};
// clang-format on

double number(FuzzInput& in)
{
    constexpr double infinity = std::numeric_limits<double>::infinity();
    constexpr double kNumbers[] = {
        std::numeric_limits<double>::quiet_NaN(),  infinity, -infinity, -1.0, 0.0, 8.0, 14.0, 47.5, 1e300,
        std::numeric_limits<double>::denorm_min(), 4e6,      915e6};
    const std::uint8_t pick = in.byte();
    if (pick < 200) {
        return kNumbers[pick % std::size(kNumbers)];
    }
    std::size_t length = sizeof(double);
    const std::uint8_t* bytes = in.take(length);
    double value = 0.0;
    std::memcpy(&value, bytes, length);
    return value;
}

std::string word(FuzzInput& in)
{
    const std::uint8_t pick = in.byte();
    return pick < 160 ? kWords[pick % std::size(kWords)] : in.text(40, "");
}

int direction(FuzzInput& in)
{
    return in.byte() % 2 == 0 ? SOAPY_SDR_RX : SOAPY_SDR_TX;
}

using Call = void (*)(FuzzInput& in, SoapyDevice& device);

const Call kCalls[] = {
    [](FuzzInput& in, SoapyDevice& d) { d.setGain(direction(in), 0, word(in), number(in)); },
    [](FuzzInput& in, SoapyDevice& d) { static_cast<void>(d.getGain(direction(in), 0, word(in))); },
    [](FuzzInput& in, SoapyDevice& d) { static_cast<void>(d.getGainRange(direction(in), 0, word(in))); },
    [](FuzzInput& in, SoapyDevice& d) { d.setGain(direction(in), 0, number(in)); },
    [](FuzzInput& in, SoapyDevice& d) { d.setGainMode(direction(in), 0, in.byte() % 2 == 0); },
    [](FuzzInput& in, SoapyDevice& d) { d.setAntenna(direction(in), 0, word(in)); },
    [](FuzzInput& in, SoapyDevice& d) { d.setFrequency(direction(in), 0, word(in), number(in), {}); },
    [](FuzzInput& in, SoapyDevice& d) { static_cast<void>(d.getFrequency(direction(in), 0, word(in))); },
    [](FuzzInput& in, SoapyDevice& d) { d.setSampleRate(direction(in), 0, number(in)); },
    [](FuzzInput& in, SoapyDevice& d) { d.setBandwidth(direction(in), 0, number(in)); },
    [](FuzzInput& in, SoapyDevice& d) {
        const std::string key = word(in); // read before the value: arguments have no order
        d.writeSetting(key, word(in));
    },
    [](FuzzInput& in, SoapyDevice& d) { static_cast<void>(d.readSetting(word(in))); },
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SoapySDR::setLogLevel(SOAPY_SDR_CRITICAL);
    useSimulator("HACKRF", "board A\n");
    useSimulator("BLADERF", "board serial=A\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    const std::uint8_t setup = in.byte();
    const BoardFamily family = setup % 2 == 0 ? BoardFamily::hackRf : BoardFamily::bladeRf;
    SoapyDevice device(family, veltrano::soapy::openBoard(family, ""));
    try {
        device.applySettingArguments(SoapySDR::KwargsFromString(in.text(200, "")));
    } catch (const std::runtime_error&) {
    }
    SoapySDR::Stream* stream = nullptr;
    if ((setup & 2) != 0) {
        stream = device.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CF32, {0}, {});
        require(device.activateStream(stream, 0, 0, 0) == 0, "the receive stream starts");
    }
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        try {
            kCalls[in.byte() % std::size(kCalls)](in, device);
        } catch (const std::runtime_error&) {
        }
    }
    if (stream != nullptr) {
        require(device.deactivateStream(stream, 0, 0) == 0, "the receive stream was still there to stop");
        device.closeStream(stream);
    }
    return 0;
}
