// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfTransmit.h"

#include <algorithm>
#include <cstdio>

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

} // namespace veltrano::sim::bladerf
