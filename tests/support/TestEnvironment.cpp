// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include "device/platform/ProcessEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

std::string sharedLibrarySuffix()
{
#if defined(_WIN32)
    return ".dll";
#else
    return ".so";
#endif
}

std::filesystem::path simulatedLibrary(const std::string& variant)
{
    return binaryDirectory() / "sim" / (variant + sharedLibrarySuffix());
}

std::filesystem::path probeExecutable()
{
    return binaryDirectory() / (sharedLibrarySuffix() == ".dll" ? "sdr-probe.exe" : "sdr-probe");
}

std::vector<std::string> hackRfNamesBesideExecutable()
{
#if defined(_WIN32)
    return {"hackrf.dll", "libhackrf.dll"};
#else
    return {"libhackrf.so.0", "libhackrf.so"};
#endif
}

std::vector<std::string> bladeRfNamesBesideExecutable()
{
#if defined(_WIN32)
    return {"bladeRF.dll", "libbladeRF.dll", "libbladerf.dll"};
#else
    return {"libbladeRF.so.2", "libbladeRF.so", "libbladerf.so"};
#endif
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
    std::ostringstream name;
    name << "veltrano-test-" << stamp << '-' << sequence.fetch_add(1);
    path_ = std::filesystem::temp_directory_path() / name.str();
    std::filesystem::create_directories(path_);
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeTextFile(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream << text;
    if (!stream) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::string readTextFile(const std::filesystem::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
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
    for (const std::string& line : journal()) {
        if (line.rfind(name, 0) == 0 && (line.size() == name.size() || line[name.size()] == ' ')) {
            matching.push_back(line);
        }
    }
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
