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

std::uint64_t HackRfSdrDevice::RawBuffer::storedPosition() const
{
    return writePosition.load(std::memory_order_acquire);
}

std::uint64_t HackRfSdrDevice::RawBuffer::takeClearedBytes()
{
    const std::uint64_t position = consumedPosition();
    const std::uint64_t cleared = position > consumerPosition ? position - consumerPosition : 0;
    consumerPosition = std::max(consumerPosition, position);
    return cleared;
}

std::size_t HackRfSdrDevice::RawBuffer::size() const
{
    return static_cast<std::size_t>(writePosition.load(std::memory_order_acquire) - consumedPosition());
}

void detail::HackRfGapLog::record(std::uint64_t position, std::uint64_t bytes)
{
    const std::uint64_t written = written_.load(std::memory_order_relaxed);
    if (written > 0) {
        // The ring is still full where the last loss was: the same gap.
        Entry& last = entries_[(written - 1) & (kEntries - 1)];
        std::uint64_t sofar = last.bytes.load(std::memory_order_relaxed);
        while (last.position == position && (sofar & kPassed) == 0) {
            if (last.bytes.compare_exchange_weak(sofar, sofar + bytes, std::memory_order_acq_rel)) {
                return;
            }
        }
    }
    if (written - passed_.load(std::memory_order_acquire) >= kEntries) {
        unplacedBytes_.fetch_add(bytes, std::memory_order_release);
        return;
    }
    Entry& entry = entries_[written & (kEntries - 1)];
    entry.position = position;
    entry.bytes.store(bytes, std::memory_order_relaxed);
    written_.store(written + 1, std::memory_order_release);
}

detail::HackRfGapLog::Passed detail::HackRfGapLog::pass(std::uint64_t position)
{
    Passed passed;
    std::uint64_t next = passed_.load(std::memory_order_relaxed);
    const std::uint64_t written = written_.load(std::memory_order_acquire);
    for (; next < written && entries_[next & (kEntries - 1)].position <= position; ++next) {
        const std::uint64_t bytes = entries_[next & (kEntries - 1)].bytes.fetch_or(kPassed, std::memory_order_acq_rel);
        passed.bytes += bytes & ~kPassed;
        ++passed.gaps;
    }
    passed_.store(next, std::memory_order_release);
    if (const std::uint64_t unplaced = unplacedBytes_.exchange(0, std::memory_order_acquire); unplaced > 0) {
        passed.bytes += unplaced;
        ++passed.gaps;
    }
    return passed;
}

std::uint64_t detail::HackRfGapLog::nextPosition() const
{
    const std::uint64_t next = passed_.load(std::memory_order_relaxed);
    if (unplacedBytes_.load(std::memory_order_acquire) > 0) {
        return 0;
    }
    return next < written_.load(std::memory_order_acquire) ? entries_[next & (kEntries - 1)].position : kNone;
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
