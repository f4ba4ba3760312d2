// SPDX-License-Identifier: MIT
// The board's lock, shared by the receive loop and the control calls. The
// receive loop takes it once per library read and takes it back at once
// after each, so a plain mutex would leave a gain change or a counter read
// from another thread waiting for as long as the stream runs. Here a control
// call announces itself before it queues, and the reader stands aside while
// one is announced: a controller waits for at most the library read in
// flight.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace veltrano {

/// A mutex a control call takes ahead of the streaming reader.
class ControllerFirstMutex {
public:
    /// A control call's turn: ahead of any reader that has not started yet.
    void lock()
    {
        waiting_.fetch_add(1, std::memory_order_relaxed);
        mutex_.lock();
        waiting_.fetch_sub(1, std::memory_order_relaxed);
    }
    /// Ends either side's turn.
    void unlock() { mutex_.unlock(); }

    /// The reader's turn, after every controller that announced itself.
    void lockAfterControllers()
    {
        while (waiting_.load(std::memory_order_relaxed) != 0) {
            std::this_thread::yield();
        }
        mutex_.lock();
    }

private:
    std::mutex mutex_;
    std::atomic<int> waiting_{0};
};

/// Scoped form of lockAfterControllers, for the receive loop.
class ReaderTurn {
public:
    /// Waits for the controllers, then holds the mutex until destroyed.
    explicit ReaderTurn(ControllerFirstMutex& mutex) : mutex_(mutex) { mutex_.lockAfterControllers(); }
    ~ReaderTurn() { mutex_.unlock(); }
    ReaderTurn(const ReaderTurn&) = delete;
    ReaderTurn& operator=(const ReaderTurn&) = delete;

private:
    ControllerFirstMutex& mutex_;
};

} // namespace veltrano
