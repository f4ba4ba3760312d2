// SPDX-License-Identifier: MIT
// Helpers every test shares: where the built programs and simulated
// libraries are, scratch directories, environment variables that restore
// themselves, and the simulators' scripts and journals.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace veltrano::test {

// Directory of the running test program; the probe and bin/sim sit there.
std::filesystem::path binaryDirectory();

// A simulated host library by variant name, e.g. "sim-hackrf-no-versions".
std::filesystem::path simulatedLibrary(const std::string& variant);

std::filesystem::path probeExecutable();

// Platform file names of the vendor libraries as searched next to the executable.
std::vector<std::string> hackRfNamesBesideExecutable();
std::vector<std::string> bladeRfNamesBesideExecutable();

// The file-name suffix of shared libraries on this platform (".so" or ".dll").
std::string sharedLibrarySuffix();

// Sets (or, with nullopt, removes) an environment variable for the lifetime
// of the object, then restores what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

void setEnvironment(const std::string& name, const std::optional<std::string>& value);

// A fresh directory under the system's temporary directory, removed at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeTextFile(const std::filesystem::path& file, const std::string& text);
std::string readTextFile(const std::filesystem::path& file);
// Lines of a file without their "\n"; empty when the file does not exist.
std::vector<std::string> readLines(const std::filesystem::path& file);

// Narrow text of a path as the programs under test expect it in an environment variable.
std::string environmentText(const std::filesystem::path& path);

// One simulator's scripting: writes the script file, points the simulator's
// variables at it and at a journal, and reads the journal back. The variables
// are inherited by child processes, so a probe run as a subprocess sees the
// same scenario.
class SimulatorSession {
public:
    // family is "HACKRF" or "BLADERF".
    SimulatorSession(const std::string& family, const std::string& script);

    std::vector<std::string> journal() const { return readLines(directory_ / "journal.txt"); }
    // Journal lines that start with the given call name.
    std::vector<std::string> calls(const std::string& name) const;
    // File name of the first simulator library that was called, or "(none)".
    std::string loadedLibrary() const;

private:
    TemporaryDirectory directory_;
    ScopedEnvironment script_;
    ScopedEnvironment journal_;
};

struct ProcessResult {
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;

    bool operator==(const ProcessResult&) const = default;
};

// Shows a result readably in test failures: status, then both streams quoted.
void PrintTo(const ProcessResult& result, std::ostream* stream);

// Runs a program with arguments, standard input empty, both output streams
// captured byte for byte, and waits for it. When outputFile is given,
// standard output goes there instead and standardOutput stays empty.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::optional<std::filesystem::path>& outputFile = std::nullopt);

// A copy of the probe in a scratch directory of its own, so that tests decide
// which library files sit "next to the executable".
class ProbeInstallation {
public:
    ProbeInstallation();
    // Copies a simulated library variant next to the probe under the given file name.
    void addLibrary(const std::string& variant, const std::string& fileName) const
    {
        std::filesystem::copy_file(simulatedLibrary(variant), directory_ / fileName);
    }
    const std::filesystem::path& directory() const { return directory_.path(); }
    ProcessResult run(const std::vector<std::string>& arguments) const { return runProcess(executable_, arguments); }

private:
    TemporaryDirectory directory_;
    std::filesystem::path executable_;
};

inline ProcessResult runProbe(const std::vector<std::string>& arguments)
{
    return runProcess(probeExecutable(), arguments);
}

} // namespace veltrano::test
