// SPDX-License-Identifier: MIT
#pragma once

// What the board was sent, as both levels keep it for a test: every byte
// counted, the oldest ones kept (up to a limit) until a test takes them, and,
// when a capture file is named, every byte appended to it as it arrives, so
// that the record of a program run against the board outlives it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

namespace veltrano::sim::hackrf {

class TransmitRecord {
public:
    // Bytes beyond keptLimit still held are counted but no longer kept.
    explicit TransmitRecord(std::size_t keptLimit) : keptLimit_(keptLimit) {}

    // Appends every byte from now on to this file (empty: none).
    void captureTo(const std::string& path);
    void record(const unsigned char* bytes, std::size_t count);
    // Copies up to capacity of the kept bytes from offset on; returns how many.
    std::size_t copy(unsigned char* out, std::uint64_t offset, std::size_t capacity) const;
    // Moves up to capacity of the oldest kept bytes to out; returns how many.
    std::size_t take(unsigned char* out, std::size_t capacity);
    std::size_t keptBytes() const { return kept_.size(); }
    std::uint64_t recordedBytes() const { return recorded_; }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::size_t keptLimit_;
    std::deque<unsigned char> kept_;
    std::uint64_t recorded_ = 0;
    std::unique_ptr<std::FILE, FileCloser> capture_;
};

} // namespace veltrano::sim::hackrf
