// SPDX-License-Identifier: MIT
// Turns a fuzzer's bytes into the values a target needs, reading from the
// front; an exhausted input yields zeros and empty texts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

    // A number below `below`, from as many bytes as that needs.
    std::uint32_t number(std::uint32_t below)
    {
        std::uint32_t value = 0;
        for (std::uint64_t span = 1; span < below; span <<= 8) {
            value = value << 8 | byte();
        }
        return below == 0 ? 0 : value % below;
    }

    // Up to maxLength bytes, none of them in `excluded`.
    std::string text(std::size_t maxLength, std::string_view excluded)
    {
        const std::size_t length = std::min<std::size_t>(byte() % (maxLength + 1), size_);
        std::string result(reinterpret_cast<const char*>(data_), length);
        data_ += length;
        size_ -= length;
        std::ranges::replace_if(
            result, [excluded](char c) { return excluded.find(c) != std::string_view::npos; }, '_');
        return result;
    }

    // A buffer of `length` bytes: up to `maxTaken` bytes of the input,
    // repeated to fill it, so that large transfers leave input for later steps.
    std::vector<std::uint8_t> buffer(std::size_t length, std::size_t maxTaken)
    {
        std::size_t taken = number(static_cast<std::uint32_t>(maxTaken) + 1);
        const std::uint8_t* bytes = take(taken);
        std::vector<std::uint8_t> result(length);
        for (std::size_t i = 0; i < length; ++i) {
            result[i] = taken > 0 ? bytes[i % taken] : static_cast<std::uint8_t>(i);
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
