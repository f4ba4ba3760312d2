// SPDX-License-Identifier: MIT
#pragma once

// The simulated device behind libbladeRF's opaque struct bladerf: the board it
// was opened on, its two synchronous streams, what each channel is tuned to,
// and the quick-tune records it handed out.

#include "bladerf/library/BladeRfSimulator.h"
#include "common/SceneSynthesizer.h"
#include "common/SimPacer.h"
#include "common/TimedBurstTimeline.h"

#include <libbladeRF.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

struct bladerf {
    static constexpr std::uint32_t kOpenMagic = 0x53494d42; // "SIMB"

    struct Stream {
        bool configured = false;
        bool enabled = false;
        int layout = 0;
        int format = 0;
        unsigned bufferCount = 0;
        unsigned bufferSize = 0;
        unsigned transferCount = 0;
        unsigned timeoutMs = 0;
        bladerf_timestamp timestamp = 0; // device time of the next sample
        bladerf_frequency frequency = 0; // what the channel is tuned to
        // The channel's sample rate until bladerf_set_sample_rate sets another.
        bladerf_sample_rate sampleRate = 30'720'000;
        veltrano::sim::SamplePacer pacer; // restarted when the channel is enabled
        // Paced receive: samples the board made while the library's buffers
        // were full are lost; the stream jumps from `at` to `resume`.
        struct Gap {
            bladerf_timestamp at;
            bladerf_timestamp resume;
        };
        std::optional<Gap> gap;
        std::size_t scriptedGapsTaken = 0; // of the script's rx-gap and rx-jump lines
        // The board's gain chain for this direction, and each stage's gain in
        // dB (whole dB, as libbladeRF takes them); the scene hears their sum.
        const veltrano::sim::bladerf::GainChain* chain = nullptr;
        std::vector<std::int64_t> stageGains;              // wide: any int the caller sends, less the offset
        std::vector<std::int64_t> secondChannelStageGains; // the same for the direction's channel 1
        // The stage gains of a library channel of this direction.
        std::vector<std::int64_t>& gainsOf(int channel)
        {
            return (channel >> 1) == 1 ? secondChannelStageGains : stageGains;
        }
        const std::vector<std::int64_t>& gainsOf(int channel) const
        {
            return (channel >> 1) == 1 ? secondChannelStageGains : stageGains;
        }
        // The channels enabled (0 and 1); the stream runs while either is.
        bool channelEnabled[2] = {false, false};
        bool biasTee = false;

        // Receive with a scene: what the receiver hears at the stream's
        // timestamp (the synthesizer's position), and the retunes scheduled
        // for later timestamps.
        std::unique_ptr<veltrano::sim::SceneSynthesizer> scene;
        bladerf_frequency heardFrequency = 0;
        std::map<bladerf_timestamp, bladerf_frequency> scheduledRetunes;

        // Transmit with timestamps: the library's burst state (an open burst,
        // started "now" or at a time, and how far its last buffer is filled).
        bool inBurst = false;
        bool burstNow = false;
        std::uint64_t bufferFill = 0;
    };

    bladerf(const veltrano::sim::bladerf::Board& openedBoard, const veltrano::sim::Scene& scene)
        : board(&openedBoard), txTimeline(veltrano::sim::bladerf::simulator().journalFile())
    {
        if (!scene.empty()) {
            rx.scene = std::make_unique<veltrano::sim::SceneSynthesizer>(scene);
        }
        for (const int direction : {0, 1}) {
            triggers[direction].counter = direction == 0 ? &rx.timestamp : &tx.timestamp;
            triggers[direction].serial = std::string(openedBoard.serialText());
        }
        clock.externalReferenceHz = openedBoard.referenceInHz;
        clock.referenceFromSerial = openedBoard.referenceFromSerial;
        rx.chain = &openedBoard.rxGain;
        tx.chain = &openedBoard.txGain;
        for (Stream* stream : {&rx, &tx}) {
            for (auto* gains : {&stream->stageGains, &stream->secondChannelStageGains}) {
                gains->assign(stream->chain->stages.size(), 0);
                distributeGain(*stream->chain, *gains, 0);
            }
        }
    }

    // What bladerf_set_gain does here: the stages fill in order from their
    // minima; whatever their ranges cannot hold goes to the last one, so the
    // stages always sum to the gain less the chain's offset.
    static void distributeGain(const veltrano::sim::bladerf::GainChain& chain, std::vector<std::int64_t>& gains,
                               int gainDb)
    {
        const auto& stages = chain.stages;
        if (stages.empty()) {
            return;
        }
        std::int64_t remaining = std::int64_t{gainDb} - chain.offsetDb;
        for (std::size_t index = 0; index < stages.size(); ++index) {
            gains[index] = wholeDb(stages[index].range, stages[index].range.min);
            remaining -= gains[index];
        }
        for (std::size_t index = 0; index + 1 < stages.size() && remaining > 0; ++index) {
            const std::int64_t room = wholeDb(stages[index].range, stages[index].range.max) - gains[index];
            const std::int64_t taken = std::min(room, remaining);
            gains[index] += taken;
            remaining -= taken;
        }
        gains.back() += remaining;
    }

    // A range's value in whole dB, towards zero (so never outside the range).
    static std::int64_t wholeDb(const bladerf_range& range, std::int64_t value)
    {
        return static_cast<std::int64_t>(static_cast<double>(value) * static_cast<double>(range.scale));
    }

    static std::int64_t stageSum(const std::vector<std::int64_t>& gains)
    {
        std::int64_t sum = 0;
        for (const std::int64_t gain : gains) {
            sum += gain;
        }
        return sum;
    }

    // A gain as the library's int reports it, held inside its range.
    static bladerf_gain reported(std::int64_t gain)
    {
        return static_cast<bladerf_gain>(std::clamp<std::int64_t>(gain, std::numeric_limits<bladerf_gain>::min(),
                                                                  std::numeric_limits<bladerf_gain>::max()));
    }

    std::uint32_t magic = kOpenMagic;
    const veltrano::sim::bladerf::Board* board; // owned by the simulator, lives as long as the library
    Stream rx;
    Stream tx;
    // The board's side of timed transmission, and the lock that lets a
    // counter query meet a transmit call from another thread.
    veltrano::sim::TimedBurstTimeline txTimeline;
    std::mutex txMutex;
    // Frequencies whose quick-tune records bladerf_get_quick_tune handed out,
    // per direction (index 0 receive, 1 transmit).
    std::set<bladerf_frequency> quickTunesHandedOut[2];
    // Each direction's trigger on the process's shared line, and the
    // board's reference clock.
    veltrano::sim::bladerf::BoardTrigger triggers[2];
    veltrano::sim::bladerf::BoardClock clock;
    // Calls in flight, for the overlap detector. Relaxed: they observe, they
    // must not synchronise the caller's threads.
    std::atomic<int> receiving{0};
    std::atomic<int> retuning{0};
};
