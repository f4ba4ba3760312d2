// SPDX-License-Identifier: MIT
// The lock-free rings the HackRF backend shares with libhackrf's transfer
// thread. Private to the backend: the public device header only names them.
//
// Both are single-producer rings. Positions only grow; a byte's (or entry's)
// slot is its position masked with the capacity less one, so no division is
// ever done. Each position sits alone on a 64-byte line so that the producer
// and the consumer never write to the same cache line.
#pragma once

#include "device/hackrf/HackRfSdrDevice.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrano {
namespace detail {

// Where a ring's producer dropped bytes because the ring was full, as stream
// positions, so that the consumer can tell its client when it gets there
// rather than when the loss happened. One producer, one consumer, no locks:
// the producer records a loss at the position its next stored byte will
// take (consecutive losses at one position add up in one entry); the
// consumer passes every entry at or behind its own position.
struct HackRfGapLog {
    static constexpr std::uint64_t kEntries = 1024;

    struct Passed {
        std::uint64_t gaps = 0;
        std::uint64_t bytes = 0;
    };

    // Producer.
    void record(std::uint64_t position, std::uint64_t bytes);
    // Consumer: closes and removes the entries at or behind position.
    Passed pass(std::uint64_t position);
    // Consumer: the position of the nearest entry, or none.
    std::uint64_t nextPosition() const;
    bool empty() const { return nextPosition() == kNone; }

    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

private:
    // Set in an entry's byte count once the consumer passed it: the producer
    // then opens a new entry instead of adding to one already reported.
    static constexpr std::uint64_t kPassed = std::uint64_t{1} << 63;

    struct Entry {
        std::uint64_t position = 0;
        std::atomic<std::uint64_t> bytes{0};
    };

    std::array<Entry, kEntries> entries_{};
    alignas(64) std::atomic<std::uint64_t> written_{0};
    alignas(64) std::atomic<std::uint64_t> passed_{0};
    // Losses that found the log full (a thousand unreported gaps): reported
    // at the consumer's next pass, wherever it is.
    alignas(64) std::atomic<std::uint64_t> unplacedBytes_{0};
};

} // namespace detail

// A byte ring of one producer and one consumer. Besides the consumer, any
// other thread may call clear() at any moment (a retune from a controller
// thread while a reader sits in read()): the consumer marks the span it is
// copying by a flag bit in readPosition, and a clear that meets the flag
// leaves its target for the consumer to apply when it publishes. So the
// producer never overwrites bytes that are still being copied out, and no byte
// is handed out twice.
struct alignas(64) HackRfSdrDevice::RawBuffer {
    explicit RawBuffer(std::size_t size);

    // Producer: stores as many leading bytes as fit; returns how many. The
    // ring's contents are never overwritten.
    std::size_t write(const std::uint8_t* data, std::size_t length);
    // Consumer: takes up to length of the oldest bytes; returns how many.
    std::size_t read(std::uint8_t* data, std::size_t length);

    // Producer, in place: fill(slot, bytes, offset) writes the next bytes of
    // the stream (from offset on) straight into the ring's free space, once or
    // twice where it wraps; returns the bytes stored, at most length.
    template <typename Fill>
    std::size_t produce(std::size_t length, Fill&& fill);
    // Consumer, in place: take(slot, bytes, offset) is handed the oldest bytes
    // (from offset on) where they lie, once or twice where they wrap, before
    // their slots go back to the producer; returns the bytes taken.
    template <typename Take>
    std::size_t consume(std::size_t length, Take&& take);
    // Drops everything written so far; returns the position it cleared to.
    std::uint64_t clear();
    // Position of the next byte the consumer will take.
    std::uint64_t consumedPosition() const;
    // Bytes buffered now.
    std::size_t size() const;
    // Position up to which bytes have been stored.
    std::uint64_t storedPosition() const;
    // Consumer: bytes a clear() skipped since the consumer last asked.
    std::uint64_t takeClearedBytes();

    const std::uint64_t capacity;
    const std::uint64_t mask;
    std::vector<std::uint8_t> storage;
    alignas(64) std::atomic<std::uint64_t> writePosition{0};
    alignas(64) std::atomic<std::uint64_t> readPosition{0};
    // Highest position a clear asked the consumer to move to.
    alignas(64) std::atomic<std::uint64_t> clearPosition{0};
    // The consumer's own position, for takeClearedBytes(); the consumer's alone.
    alignas(64) std::uint64_t consumerPosition = 0;
    // Where the producer of a receive ring dropped the bytes that did not fit.
    detail::HackRfGapLog gaps;

private:
    // Set in readPosition while the consumer copies bytes out; positions never
    // get near bit 63 (that would take centuries at the board's rate).
    static constexpr std::uint64_t kReading = std::uint64_t{1} << 63;

    // Moves readPosition up to clearPosition unless a read is copying.
    void applyClear();
};

template <typename Fill>
std::size_t HackRfSdrDevice::RawBuffer::produce(std::size_t length, Fill&& fill)
{
    const std::uint64_t written = writePosition.load(std::memory_order_relaxed);
    const std::uint64_t consumed = readPosition.load(std::memory_order_acquire) & ~kReading;
    const std::uint64_t free = capacity - (written - consumed);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, free));
    const std::size_t start = static_cast<std::size_t>(written & mask);
    const std::size_t first = std::min<std::size_t>(count, static_cast<std::size_t>(capacity) - start);
    if (first > 0) {
        fill(storage.data() + start, first, std::size_t{0});
    }
    if (count > first) {
        fill(storage.data(), count - first, first);
    }
    writePosition.store(written + count, std::memory_order_release);
    return count;
}

template <typename Take>
std::size_t HackRfSdrDevice::RawBuffer::consume(std::size_t length, Take&& take)
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
    if (first > 0) {
        take(storage.data() + start, first, std::size_t{0});
    }
    if (count > first) {
        take(storage.data(), count - first, first);
    }
    // Publishing releases the slots to the producer; the pairing of this store
    // with the clear's load of readPosition (and of clearPosition here with the
    // clear's store) guarantees that one of the two applies a concurrent clear.
    readPosition.store(consumed + count, std::memory_order_seq_cst);
    consumerPosition += count;
    applyClear();
    return count;
}

// Queue of hardware-sweep blocks: the receive callback produces, the client
// reading sweep blocks consumes.
struct alignas(64) HackRfSdrDevice::SweepBuffer {
    static constexpr std::size_t kBlockBytes = 16384;
    static constexpr std::size_t kHeaderBytes = 10;
    static constexpr std::uint64_t kEntries = 512;

    struct Entry {
        std::uint64_t frequencyHz = 0;
        std::array<std::uint8_t, kBlockBytes - kHeaderBytes> data{};
    };

    SweepBuffer();

    // Producer: queues one marked 16384-byte block; false when the queue is full
    // (the block is dropped, queued ones are never overwritten).
    bool write(const std::uint8_t* block);
    // Consumer: copies out the oldest entry; false when none is queued.
    bool read(Entry& entry);

    std::vector<Entry> entries;
    alignas(64) std::atomic<std::uint64_t> writePosition{0};
    alignas(64) std::atomic<std::uint64_t> readPosition{0};
};

} // namespace veltrano
