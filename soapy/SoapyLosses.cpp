// SPDX-License-Identifier: MIT
// The board's loss counters (ISdrDevice::streamLosses), each readable as a
// setting under the name its family's users know, and summed per direction
// for the stream reports; the receive overflow policy and the board's loss
// limit, where the board offers them.
#include "soapy/SoapyDevice.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace veltrano::soapy {

SoapyDevice::LossCounter SoapyDevice::lossCounter(const LossSetting& shown, const StreamLosses& losses) const
{
    const bool transmit = shown.field == LossField::txUnderrunBytes || shown.field == LossField::txBoardShortfalls;
    LossCounter counter{shown.key, transmit ? SOAPY_SDR_TX : SOAPY_SDR_RX, 0, shown.sizeOnly};
    // The board's own counts: nothing where it cannot tell, and one report
    // per new count, since several may arrive with one read of the board.
    const auto boardCount = [&counter](const std::optional<std::uint64_t>& count) {
        counter.count = count.value_or(0);
        counter.unknown = !count;
        counter.reportEach = true;
    };
    switch (shown.field) {
    case LossField::rxOverruns:
        // An overflow is reported when the reader gets to it (a HackRF's
        // ring ends a read there), so its count drives the reports.
        counter.count = losses.rxOverruns;
        break;
    case LossField::rxBoardShortfalls:
        boardCount(losses.rxBoardShortfalls); // the host fell behind the board
        break;
    case LossField::rxLostSamples:
        counter.count = losses.rxLostSamples;
        break;
    case LossField::rxDroppedBytes:
        counter.count = losses.rxDroppedBytes;
        break;
    case LossField::rxSkippedBytes:
        counter.count = losses.rxSkippedBytes;
        break;
    case LossField::rxDiscardedSamples:
        counter.count = losses.rxDiscardedSamples + rxPendingDiscarded_.load(std::memory_order_relaxed);
        break;
    case LossField::sweepDroppedBlocks:
        counter.count = losses.sweepDroppedBlocks;
        break;
    case LossField::rxPushToTalkGaps:
        counter.count = rxPushToTalkGaps_;
        break;
    case LossField::txUnderrunBytes:
        counter.count = losses.txUnderrunBytes;
        break;
    case LossField::txBoardShortfalls:
        boardCount(losses.txBoardUnderruns); // the host left the board without samples
        break;
    }
    return counter;
}

std::vector<SoapyDevice::LossCounter> SoapyDevice::lossCounters() const
{
    const StreamLosses losses = board_->streamLosses();
    std::vector<LossCounter> counters;
    for (const LossSetting& shown : traits_.losses) {
        if (shown.key != nullptr) {
            counters.push_back(lossCounter(shown, losses));
        }
    }
    return counters;
}

std::uint64_t SoapyDevice::rxDiscardedSamples() const
{
    return board_->streamLosses().rxDiscardedSamples + rxPendingDiscarded_.load(std::memory_order_relaxed);
}

void SoapyDevice::setOverflowPolicy(const std::string& policy)
{
    if (policy == "keep_oldest") {
        board_->setRxOverflowPolicy(RxOverflowPolicy::keepOldest);
    } else if (policy == "keep_fresh") {
        board_->setRxOverflowPolicy(RxOverflowPolicy::keepFresh);
    } else {
        fail("veltrano: rx_overflow_policy takes keep_oldest or keep_fresh, not '" + policy + "'");
    }
}

std::string SoapyDevice::overflowPolicy() const
{
    return board_->rxOverflowPolicy() == RxOverflowPolicy::keepFresh ? "keep_fresh" : "keep_oldest";
}

void SoapyDevice::setBoardLimit(int direction, const std::string& key, const std::string& bytes)
{
    std::uint32_t limit = 0;
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), limit);
    if (error != std::errc() || end != bytes.data() + bytes.size()) {
        fail("veltrano: " + key + " takes a count of bytes up to 4294967295, not '" + bytes + "'");
    }
    if (!board_->setBoardLossLimit(chainOf(direction), limit)) {
        fail("veltrano: " + board_->lastError());
    }
}

std::string SoapyDevice::boardLimit(int direction) const
{
    return std::to_string(board_->boardLossLimit(chainOf(direction)).value_or(0));
}

std::uint64_t SoapyDevice::losses(int direction, std::uint64_t* reportedEach) const
{
    // Asked on every read and status poll: no list is built.
    const StreamLosses losses = board_->streamLosses();
    std::uint64_t total = 0;
    std::uint64_t each = 0;
    for (const LossSetting& shown : traits_.losses) {
        if (shown.key != nullptr && !shown.sizeOnly) {
            const LossCounter counter = lossCounter(shown, losses);
            if (counter.direction == direction) {
                total += counter.count;
                each += counter.reportEach ? counter.count : 0;
            }
        }
    }
    if (reportedEach != nullptr) {
        *reportedEach = each;
    }
    return total;
}

bool SoapyDevice::takeLossReport(int direction, std::uint64_t& reported) const
{
    std::uint64_t each = 0;
    const std::uint64_t now = losses(direction, &each);
    if (now == reported) {
        return false;
    }
    std::uint64_t& eachReported = eachLossReported_[direction == SOAPY_SDR_RX ? 0 : 1];
    // A new stream counts afresh.
    eachReported = std::min(eachReported, each);
    if (each > eachReported) {
        ++eachReported;
    }
    // What is still owed keeps the next look reporting.
    reported = now - (each - eachReported);
    return true;
}

} // namespace veltrano::soapy
