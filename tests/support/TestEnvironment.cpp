// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include "device/platform/ProcessEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace veltrano::test {

std::filesystem::path binaryDirectory()
{
    const auto directory = platform::executableDirectory();
    if (!directory) {
        throw std::runtime_error("cannot tell the test program's directory");
    }
    return *directory;
}

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

std::string sharedLibrarySuffix()
{
    return kWindows ? ".dll" : ".so";
}

std::filesystem::path simulatedLibrary(const std::string& variant)
{
    return binaryDirectory() / "sim" / (variant + sharedLibrarySuffix());
}

std::filesystem::path probeExecutable()
{
    return binaryDirectory() / (kWindows ? "sdr-probe.exe" : "sdr-probe");
}

std::vector<std::string> hackRfNamesBesideExecutable()
{
    return kWindows ? std::vector<std::string>{"hackrf.dll", "libhackrf.dll"}
                    : std::vector<std::string>{"libhackrf.so.0", "libhackrf.so"};
}

std::vector<std::string> bladeRfNamesBesideExecutable()
{
    return kWindows ? std::vector<std::string>{"bladeRF.dll", "libbladeRF.dll", "libbladerf.dll"}
                    : std::vector<std::string>{"libbladeRF.so.2", "libbladeRF.so", "libbladerf.so"};
}

void setEnvironment(const std::string& name, const std::optional<std::string>& value)
{
#if defined(_WIN32)
    // The C runtime cannot hold an empty variable ("" removes it), but the
    // process environment can, and child processes inherit that one.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
    if (value && value->empty()) {
        SetEnvironmentVariableA(name.c_str(), "");
    }
#else
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
#endif
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name_(std::move(name))
{
    if (const char* previous = std::getenv(name_.c_str())) {
        previous_ = previous;
    }
    setEnvironment(name_, value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    setEnvironment(name_, previous_);
}

TemporaryDirectory::TemporaryDirectory()
{
    static std::atomic<unsigned> sequence{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("veltrano-test-" + std::to_string(stamp) + '-' + std::to_string(sequence.fetch_add(1)));
    std::filesystem::create_directories(path_);
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeTextFile(const std::filesystem::path& file, const std::string& text)
{
    if (!(std::ofstream(file, std::ios::binary) << text)) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::string readTextFile(const std::filesystem::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}

std::vector<std::string> readLines(const std::filesystem::path& file)
{
    std::vector<std::string> lines;
    std::ifstream stream(file, std::ios::binary);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string environmentText(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

SimulatorSession::SimulatorSession(const std::string& family, const std::string& script)
    : script_("VELTRANO_SIM_" + family + "_SCRIPT", environmentText(directory_ / "script.txt")),
      journal_("VELTRANO_SIM_" + family + "_JOURNAL", environmentText(directory_ / "journal.txt"))
{
    writeTextFile(directory_ / "script.txt", script);
}

std::vector<std::string> SimulatorSession::calls(const std::string& name) const
{
    std::vector<std::string> matching;
    std::ranges::copy_if(journal(), std::back_inserter(matching), [&name](const std::string& line) {
        return line.starts_with(name) && (line.size() == name.size() || line[name.size()] == ' ');
    });
    return matching;
}

std::string SimulatorSession::loadedLibrary() const
{
    const auto loads = calls("load");
    return loads.empty() ? std::string("(none)") : loads.front().substr(std::string("load ").size());
}

void PrintTo(const ProcessResult& result, std::ostream* stream)
{
    *stream << "status " << result.exitStatus << ", stdout " << ::testing::PrintToString(result.standardOutput)
            << ", stderr " << ::testing::PrintToString(result.standardError);
}

ProbeInstallation::ProbeInstallation() : executable_(directory_ / probeExecutable().filename().string())
{
    std::filesystem::copy_file(probeExecutable(), executable_);
}

} // namespace veltrano::test
