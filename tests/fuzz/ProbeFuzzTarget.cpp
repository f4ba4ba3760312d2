// SPDX-License-Identifier: MIT
// The probe against whatever the vendor libraries may answer: each input is
// turned into a pair of simulator scripts (boards with serials of any bytes
// and lengths, device counts that disagree with the list, null lists and
// entries, failing and handle-less opens, missing error texts), the
// simulators are told to read them again, and `sdr-probe both` runs in
// process. Any memory error, undefined behaviour or exit status other than 0
// or 2 is a finding.
#include "tests/fuzz/FuzzInput.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

int veltrano_sdr_probe_main(int argc, char** argv);

namespace {

using veltrano::fuzz::FuzzInput;

struct Simulator {
    const char* family; // HACKRF or BLADERF
    const char* library;
    const char* reloadEntry;
    std::filesystem::path script;
};

Simulator simulators[] = {
    {"HACKRF", "sim-hackrf.so", "veltrano_sim_hackrf_reload_script", {}},
    {"BLADERF", "sim-bladerf.so", "veltrano_sim_bladerf_reload_script", {}},
};

class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int character) override { return character; }
};
DiscardingBuffer discard;

std::string resultCode(FuzzInput& in)
{
    return std::to_string(static_cast<std::int8_t>(in.byte()));
}

std::string hackRfScript(FuzzInput& in)
{
    std::ostringstream script;
    for (int line = 0; line < 48 && !in.empty(); ++line) {
        switch (in.byte() % 16) {
        case 0: {
            const std::string serial = in.text(96, "\n");
            script << (serial.empty() ? "board-empty" : "board " + serial) << '\n';
            break;
        }
        case 1:
            script << "board-null\n";
            break;
        case 2:
            script << "board-repeat " << in.number(300) << ' ' << static_cast<char>('!' + in.byte() % 94) << '\n';
            break;
        case 3:
            script << "boards " << in.number(120) << " B" << in.text(8, " \n") << '\n';
            break;
        case 4:
            script << "boards-null " << in.number(120) << '\n';
            break;
        case 5:
            script << "count " << static_cast<int>(in.number(300)) - 40 << '\n';
            break;
        case 6:
            script << "serial-array-null\n";
            break;
        case 7:
            script << "list-null\n";
            break;
        case 8:
            script << "open " << resultCode(in) << " B" << in.text(40, "\n") << '\n';
            break;
        case 9:
            script << "open-any " << resultCode(in) << '\n';
            break;
        case 10:
            script << (in.byte() % 2 ? "open-any-null-handle\n" : "open-null-handle B" + in.text(40, "\n") + "\n");
            break;
        case 11:
            script << "unplug-after-opens " << in.byte() % 4 << '\n';
            break;
        case 12:
            script << "version V" << in.text(300, "\n") << '\n';
            break;
        case 13:
            script << "version-result " << resultCode(in) << '\n';
            break;
        case 14:
            script << "usb-api " << in.number(65535) << '\n';
            break;
        default:
            script << "error-names off\n";
            break;
        }
    }
    return script.str();
}

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

std::string bladeRfScript(FuzzInput& in)
{
    std::ostringstream script;
    for (int line = 0; line < 48 && !in.empty(); ++line) {
        switch (in.byte() % 10) {
        case 0:
        case 1: {
            script << "board serial=" << bladeRfField(in) << " product=" << bladeRfField(in);
            const std::uint8_t extras = in.byte();
            if (extras & 1) {
                script << " serial-fill=" << static_cast<char>('!' + in.byte() % 94);
            }
            if (extras & 2) {
                script << " product-fill=" << static_cast<char>('!' + in.byte() % 94);
            }
            if (extras & 4) {
                static constexpr const char* names[] = {"-null-", "-empty-", "bladerf1", "bladerf2"};
                script << " name=" << names[in.byte() % 4];
            }
            if (extras & 8) {
                script << " rate=" << bladeRfRange(in) << " rate-result=" << resultCode(in);
            }
            if (extras & 16) {
                script << " freq=" << bladeRfRange(in) << " freq-result=" << resultCode(in);
            }
            if (extras & 32) {
                script << " rx=" << in.byte() % 4;
            }
            script << '\n';
            break;
        }
        case 2:
            script << "boards " << in.number(40) << " S" << in.text(8, " \n") << '\n';
            break;
        case 3:
            script << "list " << resultCode(in) << '\n';
            break;
        case 4:
            script << "list-null\n";
            break;
        case 5:
            script << "open " << resultCode(in) << " *:serial=F" << in.text(40, " \n") << '\n';
            break;
        case 6:
            script << "open-any " << resultCode(in) << '\n';
            break;
        case 7:
            script << (in.byte() % 2 ? "open-any-null-device\n"
                                     : "open-null-device *:serial=F" + in.text(40, " \n") + "\n");
            break;
        case 8:
            script << "strerror off\n";
            break;
        default:
            script << "version " << +in.byte() << ' ' << +in.byte() << ' ' << +in.byte() << '\n';
            break;
        }
    }
    return script.str();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::filesystem::path simulatorDirectory =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "sim";
    char scratch[] = "/tmp/veltrano-fuzz-XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    for (Simulator& simulator : simulators) {
        simulator.script = std::filesystem::path(scratch) / simulator.family;
        const std::string family = simulator.family;
        setenv(("BROMELT_" + family + "_LIBRARY").c_str(), (simulatorDirectory / simulator.library).c_str(), 1);
        setenv(("VELTRANO_SIM_" + family + "_SCRIPT").c_str(), simulator.script.c_str(), 1);
    }
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
    const std::string scripts[] = {hackRfScript(hackRfInput), bladeRfScript(in)};

    for (std::size_t i = 0; i < std::size(simulators); ++i) {
        std::ofstream(simulators[i].script, std::ios::binary | std::ios::trunc) << scripts[i];
        // A simulator the probe has loaded already reads its script once; tell it to read the new one.
        const std::string library = std::getenv(("BROMELT_" + std::string(simulators[i].family) + "_LIBRARY").c_str());
        if (void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            if (auto* reload = reinterpret_cast<void (*)()>(dlsym(module, simulators[i].reloadEntry))) {
                reload();
            }
            dlclose(module);
        }
    }

    char program[] = "sdr-probe";
    char family[] = "both";
    char* argv[] = {program, family, nullptr};
    const int status = veltrano_sdr_probe_main(2, argv);
    if (status != 0 && status != 2) {
        std::fprintf(stderr, "sdr-probe both ended with status %d\n", status);
        std::abort();
    }
    return 0;
}
