// SPDX-License-Identifier: MIT
#pragma once

// The simulated libhackrf's transfer thread: one per running stream, started
// by hackrf_start_rx, hackrf_start_rx_sweep or hackrf_start_tx and joined by
// the matching stop (or by hackrf_close). Like libhackrf's own thread it calls
// the stream's callback with hackrf_transfer records, stops for good when the
// callback returns non-zero, and never calls back once the stop has returned.
//
// Transfers come either one at a time from the test (deliver, pull: each call
// waits until the callback has run on the transfer thread) or, in free-running
// mode, as fast as the callback takes them, or, paced, at the device's sample
// rate in wall-clock time, like the board.
//
// A stream started in hardware sync mode moves nothing, neither free-running
// transfers nor the test's, until release() lets it go at the pulse.

#include "hackrf/library/VendorHeader.h"

#include "common/SimPacer.h"
#include "hackrf/model/HackRfBoardModel.h"
#include "hackrf/model/HackRfSyncWire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace veltrano::sim::hackrf {

enum class StreamKind { Receive, Sweep, Transmit };

// The sweep plan of the last hackrf_init_sweep, for marking sweep blocks.
struct SweepPlan {
    std::vector<std::uint64_t> stepsHz; // in the firmware's order (sweepSteps)
    std::uint64_t offsetHz = 0;         // the receiver listens this far above each step
};

struct StreamSettings {
    int freeRunBytes = 0;              // 0: transfers only on request
    bool paced = false;                // free-running transfers come at the sample rate
    bool recordSent = true;            // transmit: keep every byte sent for the test
    std::optional<int> flushResult{1}; // flush callback's success flag; none: never called
    Scene scene;                       // receive and sweep: heard in place of the counting patterns
};

class TransferStream {
public:
    // radio belongs to the device, which outlives its streams.
    TransferStream(StreamKind kind, hackrf_sample_block_cb_fn callback, void* context, StreamSettings settings,
                   SweepPlan plan, hackrf_flush_cb_fn flush, void* flushContext, const RadioState& radio,
                   bool waitForPulse = false);
    ~TransferStream();
    TransferStream(const TransferStream&) = delete;
    TransferStream& operator=(const TransferStream&) = delete;

    // Ends the thread and waits for it; idempotent.
    void stop();
    // What hackrf_is_streaming reports: HACKRF_TRUE while the thread runs.
    int status() const;
    // Receive: one transfer of bufferLength bytes (data copied in, zero-padded)
    // reporting validLength. Returns the callback's result, -1 when the stream ended.
    int deliver(const std::uint8_t* data, int bufferLength, int validLength);
    // Sweep: one transfer of `blocks` marked blocks for the plan's next steps.
    int deliverSweepBlocks(int blocks);
    // Transmit: one transfer of bufferLength bytes to fill; copies the bytes the
    // callback marked valid to out and stores their count in validLength.
    int pull(int bufferLength, std::uint8_t* out, int* validLength);
    // The stream dies as if the USB link failed: the thread ends without
    // another callback, and status() reports code from then on.
    void kill(int code);

    // The pulse came: the stream moves from now on, a receive pattern from
    // the board's sample at the pulse when start is given (a synced start).
    void release(std::optional<SyncedStart> start);
    bool waitingForPulse() const;
    // The byte count the board's core reports: none moved while it waits;
    // once it runs, its first 32-byte exchange and every byte handed over.
    std::uint32_t coreBytes() const;
    StreamKind kind() const { return kind_; }
    // The settings of the board the stream runs on.
    const RadioState& radio() const { return radio_; }

private:
    struct Job {
        std::vector<std::uint8_t> buffer;
        int validLength = 0;
        int result = 0;
        bool sweepBlocks = false; // the transfer thread fills in marked sweep blocks
        bool done = false;
    };

    void run();
    // Runs the callback on one transfer; false once the stream has ended.
    bool transfer(std::vector<std::uint8_t>& buffer, int& validLength, int& result);
    // The scene as the receiver hears it at the given tuning, as 8-bit I/Q.
    void fillScene(std::uint8_t* bytes, std::size_t count, const Tuning& tuning);
    void fillSweepBlocks(std::vector<std::uint8_t>& buffer);
    int submit(Job& job);
    // Paced streams: waits until the next free-running transfer is due; false
    // when the stream was stopped or ended meanwhile.
    bool waitForPace();
    void end(int code);

    const StreamKind kind_;
    const hackrf_sample_block_cb_fn callback_;
    void* const context_;
    const StreamSettings settings_;
    const SweepPlan plan_;
    const hackrf_flush_cb_fn flush_;
    void* const flushContext_;
    const RadioState& radio_;
    std::uint64_t sweepStep_ = 0;             // transfer thread only
    SamplePacer pacer_;                       // transfer thread only
    std::unique_ptr<SceneSynthesizer> scene_; // transfer thread only; null without a scene

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Job* job_ = nullptr;
    bool stopRequested_ = false;
    bool ended_ = false;
    bool finished_ = false; // the thread has left its loop
    bool waitingForPulse_ = false;
    std::optional<std::uint64_t> syncedPosition_; // receive pattern position of a synced start
    std::atomic<std::uint32_t> bytesMoved_{0};
    int status_ = HACKRF_TRUE;
    std::thread thread_;
};

} // namespace veltrano::sim::hackrf
