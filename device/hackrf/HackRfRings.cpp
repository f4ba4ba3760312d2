// SPDX-License-Identifier: MIT
#include "device/hackrf/HackRfRings.h"

#include <algorithm>
#include <cstring>

namespace veltrano {
namespace {

// Set in readPosition while the consumer copies bytes out; positions never get
// near bit 63 (that would take centuries at the board's rate).
constexpr std::uint64_t kReading = std::uint64_t{1} << 63;

} // namespace

HackRfSdrDevice::RawBuffer::RawBuffer(std::size_t size) : capacity(size), mask(size - 1), storage(size, 0) {}

std::size_t HackRfSdrDevice::RawBuffer::write(const std::uint8_t* data, std::size_t length)
{
    const std::uint64_t written = writePosition.load(std::memory_order_relaxed);
    const std::uint64_t consumed = readPosition.load(std::memory_order_acquire) & ~kReading;
    const std::uint64_t free = capacity - (written - consumed);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, free));
    const std::size_t start = static_cast<std::size_t>(written & mask);
    const std::size_t first = std::min<std::size_t>(count, static_cast<std::size_t>(capacity) - start);
    std::memcpy(storage.data() + start, data, first);
    std::memcpy(storage.data(), data + first, count - first);
    writePosition.store(written + count, std::memory_order_release);
    return count;
}

std::size_t HackRfSdrDevice::RawBuffer::read(std::uint8_t* data, std::size_t length)
{
    // Claim the consumer position; a failed exchange means a clear moved it.
    std::uint64_t consumed = readPosition.load(std::memory_order_relaxed);
    while (!readPosition.compare_exchange_weak(consumed, consumed | kReading, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
    }
    const std::uint64_t available = writePosition.load(std::memory_order_acquire) - consumed;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, available));
    const std::size_t start = static_cast<std::size_t>(consumed & mask);
    const std::size_t first = std::min<std::size_t>(count, static_cast<std::size_t>(capacity) - start);
    std::memcpy(data, storage.data() + start, first);
    std::memcpy(data + first, storage.data(), count - first);
    // Publishing releases the slots to the producer; the pairing of this store
    // with the clear's load of readPosition (and of clearPosition here with the
    // clear's store) guarantees that one of the two applies a concurrent clear.
    readPosition.store(consumed + count, std::memory_order_seq_cst);
    applyClear();
    return count;
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
