// SPDX-License-Identifier: MIT
// The probe against whatever the vendor libraries may answer: each input is
// turned into a pair of simulator scripts (boards with serials of any bytes
// and lengths, device counts that disagree with the list, null lists and
// entries, failing and handle-less opens, missing error texts), the
// simulators are told to read them again, and `sdr-probe both` runs in
// process. Any memory error, undefined behaviour or exit status other than 0
// or 2 is a finding.
#include "tests/fuzz/SimulatedLibraries.h"

#include <iostream>
#include <sstream>
#include <streambuf>

int veltrano_sdr_probe_main(int argc, char** argv);

namespace {

using namespace veltrano::fuzz;

class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int character) override { return character; }
};
DiscardingBuffer discard;

std::string resultCode(FuzzInput& in)
{
    return std::to_string(static_cast<std::int8_t>(in.byte()));
}

// One script line per generator; the input's next byte picks the generator.
using LineGenerator = void (*)(FuzzInput& in, std::ostream& line);

const LineGenerator hackRfLines[] = {
    [](FuzzInput& in, std::ostream& line) {
        const std::string serial = in.text(96, "\n");
        line << (serial.empty() ? "board-empty" : "board " + serial);
    },
    [](FuzzInput&, std::ostream& line) { line << "board-null"; },
    [](FuzzInput& in, std::ostream& line) {
        line << "board-repeat " << in.number(300) << ' ' << static_cast<char>('!' + in.byte() % 94);
    },
    [](FuzzInput& in, std::ostream& line) { line << "boards " << in.number(120) << " B" << in.text(8, " \n"); },
    [](FuzzInput& in, std::ostream& line) { line << "boards-null " << in.number(120); },
    [](FuzzInput& in, std::ostream& line) { line << "count " << static_cast<int>(in.number(300)) - 40; },
    [](FuzzInput&, std::ostream& line) { line << "serial-array-null"; },
    [](FuzzInput&, std::ostream& line) { line << "list-null"; },
    [](FuzzInput& in, std::ostream& line) { line << "open " << resultCode(in) << " B" << in.text(40, "\n"); },
    [](FuzzInput& in, std::ostream& line) { line << "open-any " << resultCode(in); },
    [](FuzzInput& in, std::ostream& line) {
        line << (in.byte() % 2 ? "open-any-null-handle" : "open-null-handle B" + in.text(40, "\n"));
    },
    [](FuzzInput& in, std::ostream& line) { line << "unplug-after-opens " << in.byte() % 4; },
    [](FuzzInput& in, std::ostream& line) { line << "version V" << in.text(300, "\n"); },
    [](FuzzInput& in, std::ostream& line) { line << "version-result " << resultCode(in); },
    [](FuzzInput& in, std::ostream& line) { line << "usb-api " << in.number(65535); },
    [](FuzzInput&, std::ostream& line) { line << "error-names off"; },
};

std::string bladeRfField(FuzzInput& in)
{
    return "F" + in.text(40, " \n");
}

std::string bladeRfRange(FuzzInput& in)
{
    // Hz from -10 MHz to about 6.5 GHz, so that some ranges are inverted or negative.
    const auto hz = [&in] { return std::to_string(std::int64_t{in.number(65535)} * 100'000 - 10'000'000); };
    return hz() + ',' + hz() + ',' + std::to_string(in.byte()) + ",1";
}

void bladeRfBoard(FuzzInput& in, std::ostream& line)
{
    line << "board serial=" << bladeRfField(in) << " product=" << bladeRfField(in);
    const std::uint8_t extras = in.byte();
    if (extras & 1) {
        line << " serial-fill=" << static_cast<char>('!' + in.byte() % 94);
    }
    if (extras & 2) {
        line << " product-fill=" << static_cast<char>('!' + in.byte() % 94);
    }
    if (extras & 4) {
        static constexpr const char* names[] = {"-null-", "-empty-", "bladerf1", "bladerf2"};
        line << " name=" << names[in.byte() % 4];
    }
    if (extras & 8) {
        line << " rate=" << bladeRfRange(in) << " rate-result=" << resultCode(in);
    }
    if (extras & 16) {
        line << " freq=" << bladeRfRange(in) << " freq-result=" << resultCode(in);
    }
    if (extras & 32) {
        line << " rx=" << in.byte() % 4;
    }
}

const LineGenerator bladeRfLines[] = {
    bladeRfBoard,
    bladeRfBoard,
    [](FuzzInput& in, std::ostream& line) { line << "boards " << in.number(40) << " S" << in.text(8, " \n"); },
    [](FuzzInput& in, std::ostream& line) { line << "list " << resultCode(in); },
    [](FuzzInput&, std::ostream& line) { line << "list-null"; },
    [](FuzzInput& in, std::ostream& line) { line << "open " << resultCode(in) << " *:serial=F" << in.text(40, " \n"); },
    [](FuzzInput& in, std::ostream& line) { line << "open-any " << resultCode(in); },
    [](FuzzInput& in, std::ostream& line) {
        line << (in.byte() % 2 ? "open-any-null-device" : "open-null-device *:serial=F" + in.text(40, " \n"));
    },
    [](FuzzInput&, std::ostream& line) { line << "strerror off"; },
    [](FuzzInput& in, std::ostream& line) {
        line << "version " << +in.byte() << ' ' << +in.byte() << ' ' << +in.byte();
    },
};

// Up to 48 lines, each from the generator the next byte picks.
template <std::size_t Count>
std::string script(FuzzInput& in, const LineGenerator (&generators)[Count])
{
    std::ostringstream script;
    for (int line = 0; line < 48 && !in.empty(); ++line) {
        generators[in.byte() % Count](in, script);
        script << '\n';
    }
    return script.str();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    useSimulator("HACKRF", "");
    useSimulator("BLADERF", "");
    // The probe's records and failure lines are not what is being checked.
    std::cout.rdbuf(&discard);
    std::cerr.rdbuf(&discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    std::size_t hackRfBytes = in.byte() * in.remaining() / 255;
    const std::uint8_t* hackRfPart = in.take(hackRfBytes);
    FuzzInput hackRfInput(hackRfPart, hackRfBytes);
    writeScript("HACKRF", script(hackRfInput, hackRfLines));
    writeScript("BLADERF", script(in, bladeRfLines));

    char program[] = "sdr-probe";
    char family[] = "both";
    char* argv[] = {program, family, nullptr};
    const int status = veltrano_sdr_probe_main(2, argv);
    require(status == 0 || status == 2, "sdr-probe both ends with status 0 or 2");
    return 0;
}
