// SPDX-License-Identifier: MIT
#pragma once

// Reading the text scripts that tell a simulator what to pretend.
//
// A script is a file named by an environment variable. Each line is a
// directive, one space, and its arguments. Blank lines and lines starting with
// '#' are skipped and a trailing carriage return is dropped. The vendor
// simulators decide what the directives mean; anything they do not recognise
// ends the process, so a mistyped test script cannot pass by accident.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrano::sim {

struct ScriptLine {
    std::string_view text;      // the whole line, for messages
    std::string_view directive; // up to the first space
    std::string_view arguments; // everything after that space, verbatim
    bool hasArguments = false;  // whether there was a space at all
};

// Calls handle for every meaningful line of the script named by the variable.
// An unset or empty variable, or a file that cannot be read, is an empty script.
void forEachScriptLine(const char* variable, const std::function<void(const ScriptLine&)>& handle);

// Prints "sim: unknown directive: <line>" to stderr and aborts.
[[noreturn]] void failUnknownDirective(const ScriptLine& line);
// Prints "sim: bad arguments (<why>): <line>" to stderr and aborts.
[[noreturn]] void failBadArguments(const ScriptLine& line, std::string_view why);

// Argument helpers; each aborts through failBadArguments on malformed input.
std::int64_t parseInteger(const ScriptLine& line, std::string_view text); // decimal or 0x-hex, optional '-'
int parseInt(const ScriptLine& line, std::string_view text);              // parseInteger within int
float parseFloat(const ScriptLine& line, std::string_view text);
char parseSingleCharacter(const ScriptLine& line, std::string_view text);
// The arguments of a line that must have some.
std::string_view requireArguments(const ScriptLine& line);
// The arguments of a line that must have none.
void requireNoArguments(const ScriptLine& line);
// Splits off the first space-separated word: {word, rest after the one space}.
std::pair<std::string_view, std::string_view> splitFirstWord(std::string_view text);
// Space-separated words, empty ones dropped.
std::vector<std::string_view> splitWords(std::string_view text);
// Comma-separated fields, empty ones kept.
std::vector<std::string_view> splitFields(std::string_view text);

} // namespace veltrano::sim
