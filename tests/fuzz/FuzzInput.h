// Turns a fuzzer's bytes into the values a target needs, reading from the
// front; an exhausted input yields zeros and empty texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace veltrano::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    std::size_t remaining() const { return size_; }

    std::uint8_t byte()
    {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

    std::uint32_t number(std::uint32_t below)
    {
        const std::uint32_t value = static_cast<std::uint32_t>(byte()) << 8 | byte();
        return below == 0 ? 0 : value % below;
    }

    // Up to maxLength bytes, none of them in `excluded`.
    std::string text(std::size_t maxLength, std::string_view excluded)
    {
        const std::size_t length = std::min<std::size_t>(byte() % (maxLength + 1), size_);
        std::string result(reinterpret_cast<const char*>(data_), length);
        data_ += length;
        size_ -= length;
        for (char& c : result) {
            if (excluded.find(c) != std::string_view::npos) {
                c = '_';
            }
        }
        return result;
    }

    // The next length bytes (fewer at the end of the input).
    const std::uint8_t* take(std::size_t& length)
    {
        length = std::min(length, size_);
        const std::uint8_t* taken = data_;
        data_ += length;
        size_ -= length;
        return taken;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

} // namespace veltrano::fuzz
