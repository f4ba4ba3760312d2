// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfTransmit.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace veltrano::sim::bladerf {

std::size_t soundEnd(const unsigned char* samples, std::size_t count)
{
    const auto silent = [](unsigned char byte) { return byte == 0; };
    while (count > 0 && std::all_of(samples + 4 * (count - 1), samples + 4 * count, silent)) {
        --count;
    }
    return count;
}

void appendToCapture(const NativePath& path, const unsigned char* bytes, std::size_t size)
{
    if (std::FILE* file = openFile(path, "ab")) {
        std::fwrite(bytes, 1, size, file);
        std::fclose(file);
    }
}

NativePath channelCapturePath(const NativePath& capture, int channel)
{
    NativePath path = capture;
    for (const char c : std::string_view(channel == 0 ? ".channel0" : ".channel1")) {
        path.push_back(static_cast<NativePath::value_type>(c));
    }
    return path;
}

void appendToChannelCaptures(const NativePath& path, const unsigned char* pairs, std::size_t count)
{
    appendToCapture(path, pairs, 8 * count);
    for (int channel = 0; channel < 2; ++channel) {
        std::FILE* file = openFile(channelCapturePath(path, channel), "ab");
        if (file == nullptr) {
            continue;
        }
        for (std::size_t index = 0; index < count; ++index) {
            std::fwrite(pairs + 8 * index + 4 * static_cast<std::size_t>(channel), 1, 4, file);
        }
        std::fclose(file);
    }
}

} // namespace veltrano::sim::bladerf
