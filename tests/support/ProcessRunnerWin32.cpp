// SPDX-License-Identifier: MIT
#include "tests/support/TestEnvironment.h"

#include <windows.h>

#include <stdexcept>

namespace veltrano::test {
namespace {

// Quotes one argument so that the C runtime's command-line parser hands it
// to the child unchanged (backslashes only matter before a quote).
std::wstring quoted(const std::wstring& argument)
{
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text.push_back(c);
    }
    text.append(backslashes * 2, L'\\');
    text.push_back(L'"');
    return text;
}

HANDLE openInheritable(const std::filesystem::path& file, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::optional<std::filesystem::path>& outputFile)
{
    const TemporaryDirectory scratch;
    const HANDLE input = openInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE output = openInheritable(outputFile.value_or(scratch / "stdout"), GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE error = openInheritable(scratch / "stderr", GENERIC_WRITE, CREATE_ALWAYS);

    std::wstring commandLine = quoted(program.wstring());
    for (const std::string& argument : arguments) {
        commandLine += L' ' + quoted(std::filesystem::path(argument).wstring());
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(error);
    if (!started) {
        throw std::runtime_error("cannot start " + program.string());
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    ProcessResult result;
    result.exitStatus = static_cast<int>(exitCode);
    result.standardOutput = outputFile ? std::string() : readTextFile(scratch / "stdout");
    result.standardError = readTextFile(scratch / "stderr");
    return result;
}

} // namespace veltrano::test
