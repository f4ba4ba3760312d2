// SPDX-License-Identifier: MIT
#include "hackrf/library/TransferStream.h"

#include "hackrf/library/HackRfSimulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace veltrano::sim::hackrf {
namespace {

// A free-running transmit stream pauses while this many sent bytes wait to be
// taken, so a test reading them back paces the stream instead of losing data.
constexpr std::size_t kUntakenSentLimit = 16 * 1024 * 1024;

// Position of the next receive pattern byte (sweep blocks included), over
// every stream of the process, so that data of a later stream always carries
// higher numbers.
std::atomic<std::uint64_t> patternPosition{0};

} // namespace

TransferStream::TransferStream(StreamKind kind, hackrf_sample_block_cb_fn callback, void* context,
                               StreamSettings settings, SweepPlan plan, hackrf_flush_cb_fn flush, void* flushContext,
                               const RadioState& radio, bool waitForPulse)
    : kind_(kind), callback_(callback), context_(context), settings_(settings), plan_(plan), flush_(flush),
      flushContext_(flushContext), radio_(radio), waitingForPulse_(waitForPulse)
{
    if (kind_ != StreamKind::Transmit && !settings_.scene.empty()) {
        scene_ = std::make_unique<SceneSynthesizer>(settings_.scene);
    }
    thread_ = std::thread([this] { run(); });
}

TransferStream::~TransferStream()
{
    stop();
}

void TransferStream::stop()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

int TransferStream::status() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) {
        return status_;
    }
    return stopRequested_ ? HACKRF_ERROR_STREAMING_STOPPED : HACKRF_TRUE;
}

void TransferStream::kill(int code)
{
    end(code);
}

void TransferStream::end(int code)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!ended_) {
            ended_ = true;
            status_ = code;
        }
    }
    changed_.notify_all();
}

void TransferStream::release(std::optional<SyncedStart> start)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        waitingForPulse_ = false;
        if (start) {
            syncedPosition_ = start->sample * 2; // two bytes per sample
        }
    }
    changed_.notify_all();
}

bool TransferStream::waitingForPulse() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return waitingForPulse_;
}

// The core exchanges 32 bytes with the radio within a sample period of its
// start, long before a host's next request can reach the board.
std::uint32_t TransferStream::coreBytes() const
{
    return waitingForPulse() ? 0 : 32 + bytesMoved_.load(std::memory_order_relaxed);
}

int TransferStream::deliver(const std::uint8_t* data, int bufferLength, int validLength)
{
    Job job;
    job.buffer.assign(static_cast<std::size_t>(std::max(bufferLength, 0)), 0);
    if (data != nullptr) {
        std::memcpy(job.buffer.data(), data, job.buffer.size());
    }
    job.validLength = validLength;
    return submit(job);
}

int TransferStream::deliverSweepBlocks(int blocks)
{
    Job job;
    job.buffer.assign(static_cast<std::size_t>(std::max(blocks, 0)) * kSweepBlockBytes, 0);
    job.validLength = static_cast<int>(job.buffer.size());
    job.sweepBlocks = true;
    return submit(job);
}

int TransferStream::pull(int bufferLength, std::uint8_t* out, int* validLength)
{
    Job job;
    job.buffer.assign(static_cast<std::size_t>(std::max(bufferLength, 0)), 0);
    job.validLength = bufferLength;
    const int result = submit(job);
    if (validLength != nullptr) {
        *validLength = job.validLength;
    }
    if (out != nullptr && job.done) {
        const int valid = std::clamp(job.validLength, 0, bufferLength);
        std::memcpy(out, job.buffer.data(), static_cast<std::size_t>(valid));
    }
    return result;
}

int TransferStream::submit(Job& job)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return job_ == nullptr || finished_; });
    if (finished_ || ended_ || stopRequested_ || waitingForPulse_) {
        return -1;
    }
    job_ = &job;
    changed_.notify_all();
    // The thread finishes every job it took; one it did not take is withdrawn
    // when the thread has gone.
    changed_.wait(lock, [this, &job] { return job.done || finished_; });
    if (job_ == &job) {
        job_ = nullptr;
    }
    return job.done ? job.result : -1;
}

void TransferStream::run()
{
    std::vector<std::uint8_t> freeRunBuffer(static_cast<std::size_t>(settings_.freeRunBytes));
    // A synced stream's own pattern position; others share the process's.
    std::optional<std::uint64_t> patternStart;
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] {
                return stopRequested_ || ended_ ||
                       (!waitingForPulse_ && (job_ != nullptr || settings_.freeRunBytes > 0));
            });
            if (stopRequested_ || ended_) {
                break;
            }
            job = job_;
            if (syncedPosition_) {
                patternStart = *syncedPosition_;
                syncedPosition_.reset();
            }
        }
        bool alive = true;
        if (job != nullptr) {
            if (job->sweepBlocks) {
                fillSweepBlocks(job->buffer);
            }
            alive = transfer(job->buffer, job->validLength, job->result);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                job->done = true;
                job_ = nullptr;
            }
            changed_.notify_all();
        } else if (kind_ == StreamKind::Transmit && simulator().untakenSentBytes() > kUntakenSentLimit) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(1));
        } else {
            if (settings_.paced && !waitForPace()) {
                break;
            }
            if (kind_ == StreamKind::Sweep) {
                fillSweepBlocks(freeRunBuffer);
            } else if (kind_ == StreamKind::Receive && scene_) {
                fillScene(freeRunBuffer.data(), freeRunBuffer.size(), radio_.receiveTuning());
            } else if (kind_ == StreamKind::Receive) {
                std::uint64_t position = 0;
                if (patternStart) {
                    position = *patternStart;
                    *patternStart += freeRunBuffer.size();
                } else {
                    position = patternPosition.fetch_add(freeRunBuffer.size());
                }
                fillReceivePattern(freeRunBuffer.data(), freeRunBuffer.size(), position);
            }
            int validLength = settings_.freeRunBytes;
            int result = 0;
            alive = transfer(freeRunBuffer, validLength, result);
        }
        if (!alive) {
            break;
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool TransferStream::waitForPace()
{
    // Two bytes per sample, sweep blocks included.
    const auto samples = static_cast<std::uint64_t>(settings_.freeRunBytes) / 2;
    const SamplePacer::Clock::time_point due = pacer_.dueAfter(samples, radio_.sampleRateHz.load());
    std::unique_lock<std::mutex> lock(mutex_);
    // A wait may time out a little early (see SamplePacer::sleepUntil): wait again until the due time.
    while (!changed_.wait_until(lock, due, [this] { return stopRequested_ || ended_; }) &&
           SamplePacer::Clock::now() < due) {
    }
    return !stopRequested_ && !ended_;
}

bool TransferStream::transfer(std::vector<std::uint8_t>& buffer, int& validLength, int& result)
{
    hackrf_transfer record{};
    record.device = nullptr;
    record.buffer = buffer.data();
    record.buffer_length = static_cast<int>(buffer.size());
    record.valid_length = validLength;
    (kind_ == StreamKind::Transmit ? record.tx_ctx : record.rx_ctx) = context_;
    result = callback_(&record);
    validLength = record.valid_length;
    bytesMoved_.fetch_add(static_cast<std::uint32_t>(record.buffer_length), std::memory_order_relaxed);
    if (kind_ == StreamKind::Transmit && settings_.recordSent) {
        // The bytes the callback marked valid go out even with its last transfer.
        const int sent = std::clamp(record.valid_length, 0, record.buffer_length);
        simulator().recordSent(buffer.data(), static_cast<std::size_t>(sent));
    }
    if (result == 0) {
        return true;
    }
    end(HACKRF_ERROR_STREAMING_EXIT_CALLED);
    if (kind_ == StreamKind::Transmit && flush_ != nullptr && settings_.flushResult) {
        flush_(flushContext_, *settings_.flushResult);
    }
    return false;
}

void TransferStream::fillScene(std::uint8_t* bytes, std::size_t count, const Tuning& tuning)
{
    if (!(tuning == scene_->tuning())) {
        scene_->tune(tuning);
    }
    scene_->renderCs8(reinterpret_cast<std::int8_t*>(bytes), count / 2);
}

// Blocks for the plan's next steps, their samples the scene as heard at the
// step or the receive pattern where the board's stream has got to.
void TransferStream::fillSweepBlocks(std::vector<std::uint8_t>& buffer)
{
    for (std::size_t block = 0; block + kSweepBlockBytes <= buffer.size(); block += kSweepBlockBytes) {
        std::uint8_t* bytes = buffer.data() + block;
        const std::uint64_t position = patternPosition.fetch_add(kSweepBlockBytes);
        const std::uint64_t frequency = plan_.stepsHz.empty() ? 0 : plan_.stepsHz[sweepStep_++ % plan_.stepsHz.size()];
        frameSweepBlock(bytes, frequency);
        if (scene_) {
            // The board listens above the step by the plan's offset.
            Tuning tuning = radio_.receiveTuning();
            tuning.centreHz = static_cast<double>(frequency + plan_.offsetHz);
            fillScene(bytes + kSweepHeaderBytes, kSweepBlockBytes - kSweepHeaderBytes, tuning);
        } else {
            fillReceivePattern(bytes + kSweepHeaderBytes, kSweepBlockBytes - kSweepHeaderBytes,
                               position + kSweepHeaderBytes);
        }
    }
}

} // namespace veltrano::sim::hackrf
