// SPDX-License-Identifier: MIT
// What the soak runs share: the process's resident memory, and the entry
// points an emulated board exports beside libusb's when the process runs on
// it (the libusb-1.0 the vendor library loaded is then the emulator).
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltrano::soak {

inline std::uint64_t residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            std::uint64_t kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// Lets the soak's threads run for `seconds`, then ends and joins them; the
// resident memory once they have run for a second, to compare with the end.
inline std::uint64_t runThenJoin(double seconds, std::atomic<bool>& running, const std::vector<std::thread*>& threads)
{
    const double warmUp = std::min(seconds, 1.0);
    std::this_thread::sleep_for(std::chrono::duration<double>(warmUp));
    const std::uint64_t residentStreaming = residentKiB();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds - warmUp));
    running.store(false);
    for (std::thread* thread : threads) {
        thread->join();
    }
    return residentStreaming;
}

inline std::uint64_t runThenJoin(double seconds, std::atomic<bool>& running, std::thread& controller,
                                 std::thread& reader)
{
    return runThenJoin(seconds, running, {&controller, &reader});
}

// The emulator's function of that name, or null when the process does not
// run on an emulated board.
template <typename Function>
Function boardEntry(const char* name)
{
    void* usb = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_NOLOAD);
    void* entry = usb != nullptr ? dlsym(usb, name) : nullptr;
    if (usb != nullptr) {
        dlclose(usb); // still loaded by the vendor library
    }
    return reinterpret_cast<Function>(entry);
}

// A count the emulated board keeps; nothing without one.
inline std::optional<std::uint64_t> boardCount(const char* name)
{
    const auto count = boardEntry<std::uint64_t (*)()>(name);
    return count != nullptr ? std::optional<std::uint64_t>(count()) : std::nullopt;
}

// The same count of the board with this serial, on a bus that holds several.
inline std::optional<std::uint64_t> boardCount(const char* name, const std::string& serial)
{
    const auto count = boardEntry<std::uint64_t (*)(const char*)>(name);
    return count != nullptr ? std::optional<std::uint64_t>(count(serial.c_str())) : std::nullopt;
}

} // namespace veltrano::soak
