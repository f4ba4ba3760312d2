// SPDX-License-Identifier: MIT
#include "common/SimScript.h"

#include "common/SimPlatform.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace veltrano::sim {
namespace {

// The whole file in memory: scripts are at most a few megabytes, and this keeps
// the reading independent of how the platform spells file names.
bool readWholeFile(const NativePath& path, std::string& contents)
{
    std::FILE* file = openFile(path, "rb");
    if (file == nullptr) {
        return false;
    }
    std::vector<char> chunk(64 * 1024);
    bool ok = true;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        contents.append(chunk.data(), got);
        if (got < chunk.size()) {
            ok = std::ferror(file) == 0;
            break;
        }
    }
    std::fclose(file);
    return ok;
}

bool isBlank(std::string_view line)
{
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

[[noreturn]] void fail(std::string_view message, std::string_view line)
{
    std::fprintf(stderr, "sim: %.*s: %.*s\n", static_cast<int>(message.size()), message.data(),
                 static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace

void forEachScriptLine(const char* variable, const std::function<void(const ScriptLine&)>& handle)
{
    const auto path = environmentPath(variable);
    if (!path) {
        return;
    }
    std::string contents;
    if (!readWholeFile(*path, contents)) {
        return; // unreadable script: behave as if it were empty
    }
    std::istringstream stream(std::move(contents));
    std::string text;
    while (std::getline(stream, text)) {
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (isBlank(text) || text.front() == '#') {
            continue;
        }
        ScriptLine line;
        line.text = text;
        const auto space = line.text.find(' ');
        line.directive = line.text.substr(0, space);
        if (space != std::string_view::npos) {
            line.arguments = line.text.substr(space + 1);
            line.hasArguments = true;
        }
        handle(line);
    }
}

void failUnknownDirective(const ScriptLine& line)
{
    fail("unknown directive", line.text);
}

void failBadArguments(const ScriptLine& line, std::string_view why)
{
    std::string message = "bad arguments (";
    message += why;
    message += ")";
    fail(message, line.text);
}

std::int64_t parseInteger(const ScriptLine& line, std::string_view text)
{
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        failBadArguments(line, "not an integer");
    }
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > largest + (negative ? 1 : 0)) {
        failBadArguments(line, "integer out of range");
    }
    if (negative) {
        return magnitude == largest + 1 ? std::numeric_limits<std::int64_t>::min()
                                        : -static_cast<std::int64_t>(magnitude);
    }
    return static_cast<std::int64_t>(magnitude);
}

int parseInt(const ScriptLine& line, std::string_view text)
{
    const std::int64_t value = parseInteger(line, text);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        failBadArguments(line, "integer out of range");
    }
    return static_cast<int>(value);
}

float parseFloat(const ScriptLine& line, std::string_view text)
{
    float value = 0.0F;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        failBadArguments(line, "not a number");
    }
    return value;
}

char parseSingleCharacter(const ScriptLine& line, std::string_view text)
{
    if (text.size() != 1) {
        failBadArguments(line, "expected a single character");
    }
    return text.front();
}

std::string_view requireArguments(const ScriptLine& line)
{
    if (!line.hasArguments) {
        failBadArguments(line, "arguments missing");
    }
    return line.arguments;
}

void requireNoArguments(const ScriptLine& line)
{
    if (line.hasArguments) {
        failBadArguments(line, "takes no arguments");
    }
}

std::pair<std::string_view, std::string_view> splitFirstWord(std::string_view text)
{
    const auto space = text.find(' ');
    if (space == std::string_view::npos) {
        return {text, std::string_view()};
    }
    return {text.substr(0, space), text.substr(space + 1)};
}

std::vector<std::string_view> splitWords(std::string_view text)
{
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const auto space = text.find(' ');
        const auto word = text.substr(0, space);
        if (!word.empty()) {
            words.push_back(word);
        }
        if (space == std::string_view::npos) {
            break;
        }
        text.remove_prefix(space + 1);
    }
    return words;
}

std::vector<std::string_view> splitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) {
            return fields;
        }
        text.remove_prefix(comma + 1);
    }
}

} // namespace veltrano::sim
