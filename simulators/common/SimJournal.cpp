// SPDX-License-Identifier: MIT
#include "common/SimJournal.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace veltrano::sim {

Journal::Journal(const char* variable) : path_(environmentPath(variable))
{
    if (path_) {
        write("load " + ownModuleFileName());
    }
}

void Journal::write(std::string_view line)
{
    if (!path_) {
        return;
    }
    std::string record(line);
    record += '\n';
    const std::lock_guard<std::mutex> lock(mutex_);
    std::FILE* file = openFile(*path_, "ab");
    if (file == nullptr) {
        return;
    }
    // Unbuffered, so the whole line goes out in one write to a file opened for
    // appending: lines from several processes do not interleave.
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::fwrite(record.data(), 1, record.size(), file);
    std::fclose(file);
}

JournalLine& JournalLine::operator<<(std::string_view word)
{
    text_ += ' ';
    text_ += word;
    return *this;
}

JournalLine& JournalLine::operator<<(std::int64_t value)
{
    return *this << std::string_view(std::to_string(value));
}

JournalLine& JournalLine::operator<<(std::uint64_t value)
{
    return *this << std::string_view(std::to_string(value));
}

JournalLine& JournalLine::operator<<(double value)
{
    // Plain decimal, shortest text that reads back as the same value: 10000000
    // for 1e7, 2.5 for 2.5. Room for the longest such text of any double.
    std::array<char, 512> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
    if (error != std::errc()) {
        return *this << std::string_view("?");
    }
    return *this << std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

JournalLine& JournalLine::result(std::int64_t value)
{
    return *this << std::string_view("->") << value;
}

std::string_view textOrNull(const char* text)
{
    return text == nullptr ? std::string_view("(null)") : std::string_view(text);
}

} // namespace veltrano::sim
