// SPDX-License-Identifier: MIT
#pragma once

// The journal: one line per call into a simulator, appended to the file named by
// an environment variable, so tests can see exactly what the device layer did.
//
// Every line is written straight through (open, append, close) under a lock, so
// the lines of a process that crashes are still there and several processes can
// share one file.

#include "common/SimPlatform.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano::sim {

class Journal {
public:
    // Reads the variable; when it names a file, writes "load <library file name>" first.
    explicit Journal(const char* variable);

    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    void write(std::string_view line);

private:
    std::optional<NativePath> path_;
    std::mutex mutex_;
};

// Builds one journal line: words separated by single spaces.
class JournalLine {
public:
    explicit JournalLine(std::string_view function) : text_(function) {}

    JournalLine& operator<<(std::string_view word);
    JournalLine& operator<<(const char* word) { return *this << std::string_view(word); }
    JournalLine& operator<<(std::int64_t value);
    JournalLine& operator<<(std::uint64_t value);
    JournalLine& operator<<(int value) { return *this << static_cast<std::int64_t>(value); }
    JournalLine& operator<<(unsigned value) { return *this << static_cast<std::uint64_t>(value); }
    JournalLine& operator<<(double value);
    // Appends "-> <result>".
    JournalLine& result(std::int64_t value);

    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// "(null)" for a null C string, the string otherwise.
std::string_view textOrNull(const char* text);

} // namespace veltrano::sim
