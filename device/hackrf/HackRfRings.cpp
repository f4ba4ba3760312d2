// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfRings.h"

#include <algorithm>
#include <cstring>

namespace veltrano {

HackRfSdrDevice::RawBuffer::RawBuffer(std::size_t size) : capacity(size), mask(size - 1), storage(size, 0) {}

std::size_t HackRfSdrDevice::RawBuffer::write(const std::uint8_t* data, std::size_t length)
{
    return produce(length, [data](std::uint8_t* slot, std::size_t bytes, std::size_t offset) {
        std::memcpy(slot, data + offset, bytes);
    });
}

std::size_t HackRfSdrDevice::RawBuffer::read(std::uint8_t* data, std::size_t length)
{
    return consume(length, [data](const std::uint8_t* slot, std::size_t bytes, std::size_t offset) {
        std::memcpy(data + offset, slot, bytes);
    });
}

std::uint64_t HackRfSdrDevice::RawBuffer::clear()
{
    const std::uint64_t target = writePosition.load(std::memory_order_acquire);
    std::uint64_t requested = clearPosition.load(std::memory_order_relaxed);
    while (requested < target && !clearPosition.compare_exchange_weak(requested, target, std::memory_order_seq_cst)) {
    }
    applyClear();
    return target;
}

void HackRfSdrDevice::RawBuffer::applyClear()
{
    const std::uint64_t target = clearPosition.load(std::memory_order_seq_cst);
    std::uint64_t consumed = readPosition.load(std::memory_order_seq_cst);
    while ((consumed & kReading) == 0 && consumed < target &&
           !readPosition.compare_exchange_weak(consumed, target, std::memory_order_seq_cst)) {
    }
}

std::uint64_t HackRfSdrDevice::RawBuffer::consumedPosition() const
{
    return readPosition.load(std::memory_order_acquire) & ~kReading;
}

std::size_t HackRfSdrDevice::RawBuffer::size() const
{
    return static_cast<std::size_t>(writePosition.load(std::memory_order_acquire) - consumedPosition());
}

HackRfSdrDevice::SweepBuffer::SweepBuffer() : entries(kEntries) {}

bool HackRfSdrDevice::SweepBuffer::write(const std::uint8_t* block)
{
    const std::uint64_t written = writePosition.load(std::memory_order_relaxed);
    if (written - readPosition.load(std::memory_order_acquire) >= kEntries) {
        return false;
    }
    Entry& entry = entries[written & (kEntries - 1)];
    std::uint64_t frequency = 0;
    for (int byte = 7; byte >= 0; --byte) {
        frequency = (frequency << 8) | block[2 + byte];
    }
    entry.frequencyHz = frequency;
    std::memcpy(entry.data.data(), block + kHeaderBytes, entry.data.size());
    writePosition.store(written + 1, std::memory_order_release);
    return true;
}

bool HackRfSdrDevice::SweepBuffer::read(Entry& entry)
{
    const std::uint64_t consumed = readPosition.load(std::memory_order_relaxed);
    if (consumed == writePosition.load(std::memory_order_acquire)) {
        return false;
    }
    entry = entries[consumed & (kEntries - 1)];
    readPosition.store(consumed + 1, std::memory_order_release);
    return true;
}

} // namespace veltrano
