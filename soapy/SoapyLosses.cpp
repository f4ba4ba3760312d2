// SPDX-License-Identifier: MIT
// The backends' loss counters, through the concrete device types: each one
// readable as a setting, and summed per direction for the stream reports;
// and the HackRF ring's choice of which bytes an overflow costs.
#include "soapy/SoapyDevice.h"

#include "device/bladerf/BladeRfSdrDevice.h"
#include "device/hackrf/HackRfSdrDevice.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace veltrano::soapy {

std::vector<SoapyDevice::LossCounter> SoapyDevice::lossCounters() const
{
    if (family_ == BoardFamily::hackRf) {
        const auto& hackRf = static_cast<const HackRfSdrDevice&>(*board_);
        // An overflow is reported when the reader gets to it (the ring ends a
        // read there), so its count, not the bytes dropped, drives the reports.
        // The board's own count of the times the host fell behind it, read
        // from the board while receiving; one report per new shortfall.
        const std::optional<std::uint64_t> boardShortfalls = hackRf.rxBoardShortfalls();
        // Likewise the times the host left it without samples to send.
        const std::optional<std::uint64_t> boardUnderruns = hackRf.txBoardUnderruns();
        return {{"rx_ring_overflows", SOAPY_SDR_RX, hackRf.rxOverflowsReached()},
                {"rx_board_shortfalls", SOAPY_SDR_RX, boardShortfalls.value_or(0), false, !boardShortfalls, true},
                {"rx_dropped_bytes", SOAPY_SDR_RX, hackRf.rxDroppedBytes(), true},
                {"rx_skipped_bytes", SOAPY_SDR_RX, hackRf.rxSkippedBytes(), true},
                {"rx_discarded_samples", SOAPY_SDR_RX, rxDiscardedSamples(), true},
                {"sweep_dropped_blocks", SOAPY_SDR_RX, hackRf.sweepDroppedBlocks()},
                {"rx_push_to_talk_gaps", SOAPY_SDR_RX, rxPushToTalkGaps_},
                {"tx_underrun_bytes", SOAPY_SDR_TX, hackRf.txUnderrunBytes()},
                {"tx_board_shortfalls", SOAPY_SDR_TX, boardUnderruns.value_or(0), false, !boardUnderruns, true}};
    }
    const auto& bladeRf = static_cast<const BladeRfSdrDevice&>(*board_);
    return {{"rx_overruns", SOAPY_SDR_RX, bladeRf.rxOverrunCount()},
            {"rx_lost_samples", SOAPY_SDR_RX, bladeRf.rxLostSamples(), true},
            {"rx_discarded_samples", SOAPY_SDR_RX, rxDiscardedSamples(), true}};
}

std::uint64_t SoapyDevice::rxDiscardedSamples() const
{
    const std::uint64_t own = rxPendingDiscarded_.load(std::memory_order_relaxed);
    if (family_ == BoardFamily::hackRf) {
        return own + static_cast<const HackRfSdrDevice&>(*board_).rxDiscardedSamples();
    }
    return own + static_cast<const BladeRfSdrDevice&>(*board_).rxDiscardedSamples();
}

bool SoapyDevice::offersOverflowPolicy() const
{
    return family_ == BoardFamily::hackRf;
}

void SoapyDevice::setOverflowPolicy(const std::string& policy)
{
    using Policy = HackRfSdrDevice::OverflowPolicy;
    auto& hackRf = static_cast<HackRfSdrDevice&>(*board_);
    if (policy == "keep_oldest") {
        hackRf.setRxOverflowPolicy(Policy::keepOldest);
    } else if (policy == "keep_fresh") {
        hackRf.setRxOverflowPolicy(Policy::keepFresh);
    } else {
        fail("veltrano: rx_overflow_policy takes keep_oldest or keep_fresh, not '" + policy + "'");
    }
}

std::string SoapyDevice::overflowPolicy() const
{
    const auto& hackRf = static_cast<const HackRfSdrDevice&>(*board_);
    return hackRf.rxOverflowPolicy() == HackRfSdrDevice::OverflowPolicy::keepFresh ? "keep_fresh" : "keep_oldest";
}

void SoapyDevice::setBoardLimit(int direction, const std::string& key, const std::string& bytes)
{
    std::uint32_t limit = 0;
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), limit);
    if (error != std::errc() || end != bytes.data() + bytes.size()) {
        fail("veltrano: " + key + " takes a count of bytes up to 4294967295, not '" + bytes + "'");
    }
    auto& hackRf = static_cast<HackRfSdrDevice&>(*board_);
    if (!(direction == SOAPY_SDR_RX ? hackRf.setRxOverrunLimit(limit) : hackRf.setTxUnderrunLimit(limit))) {
        fail("veltrano: " + hackRf.lastError());
    }
}

std::string SoapyDevice::boardLimit(int direction) const
{
    const auto& hackRf = static_cast<const HackRfSdrDevice&>(*board_);
    return std::to_string(direction == SOAPY_SDR_RX ? hackRf.rxOverrunLimit() : hackRf.txUnderrunLimit());
}

bool SoapyDevice::takeLossReport(int direction, std::uint64_t& reported) const
{
    std::uint64_t now = 0;
    std::uint64_t each = 0;
    for (const LossCounter& counter : lossCounters()) {
        if (counter.direction == direction && !counter.sizeOnly) {
            now += counter.count;
            each += counter.reportEach ? counter.count : 0;
        }
    }
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

std::uint64_t SoapyDevice::losses(int direction) const
{
    std::uint64_t total = 0;
    for (const LossCounter& counter : lossCounters()) {
        total += counter.direction == direction && !counter.sizeOnly ? counter.count : 0;
    }
    return total;
}

} // namespace veltrano::soapy
