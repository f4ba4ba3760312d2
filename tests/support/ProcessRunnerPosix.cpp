// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace veltrano::test {
namespace {

#if defined(VELTRANO_TEST_EMULATOR)
// The machine field of an ELF header (bytes 18 and 19), or 0 for a file that
// is not an ELF program.
unsigned elfMachineOf(const std::filesystem::path& file)
{
    std::array<unsigned char, 20> header{};
    std::ifstream stream(file, std::ios::binary);
    if (!stream.read(reinterpret_cast<char*>(header.data()), header.size()) || header[0] != 0x7F || header[1] != 'E' ||
        header[2] != 'L' || header[3] != 'F') {
        return 0;
    }
    return header[5] == 1 ? header[18] | header[19] << 8 : header[19] | header[18] << 8;
}
#endif

// A cross build's tests run under an emulator (qemu-user), and a program
// built for the same machine as they were (the probe) must run under it too:
// the host kernel cannot start it. Programs of the host (timeout, env) start
// as they are.
std::vector<std::string> commandFor(const std::filesystem::path& program)
{
#if defined(VELTRANO_TEST_EMULATOR)
    if (elfMachineOf(program) == elfMachineOf("/proc/self/exe")) {
        return {VELTRANO_TEST_EMULATOR, program.string()};
    }
#endif
    return {program.string()};
}

} // namespace

ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::optional<std::filesystem::path>& outputFile)
{
    // Output goes to files rather than pipes, so a chatty child can never
    // block on a full pipe while we wait for it.
    const TemporaryDirectory scratch;
    const std::string capturedOutput = (scratch / "stdout").string();
    const std::string outputTarget = outputFile ? outputFile->string() : capturedOutput;
    const std::string errorFile = (scratch / "stderr").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputTarget.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> argumentTexts = commandFor(program);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv(argumentTexts.size() + 1); // ends with a null
    std::ranges::transform(argumentTexts, argv.begin(), [](std::string& text) { return text.data(); });

    pid_t child = 0;
    const int spawned = posix_spawn(&child, argumentTexts[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program.string());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    ProcessResult result;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.standardOutput = outputFile ? std::string() : readTextFile(capturedOutput);
    result.standardError = readTextFile(errorFile);
    return result;
}

} // namespace veltrano::test
