// SPDX-License-Identifier: MIT
// Push-to-talk on the HackRF: one sample clock, one baseband filter and one
// amplifier serve both chains, so the board either receives or transmits.
// Flowgraphs that open both streams on one board expect the module to take
// turns by itself, so a transmit burst takes the board from a running
// receive stream and hands it back when the burst ends.
//
// A burst starts when the transmit stream is activated and again at the
// first write after each burst end; it ends when a write with END_BURST has
// drained or when the transmit stream is deactivated. While it lasts the
// receive stream stays active for its client and its reads time out, as a
// quiet board's do. Samples received before the pause and not yet read are
// dropped with the board's ring, so none from before the burst follow on
// after it; the first read after the resume reports the gap as an overflow
// and rx_push_to_talk_gaps counts it. Every resume configures the receiver
// again from the receive side's own settings, because the burst left the
// transmit rate, filter and amplifier on the shared parts.
#include "soapy/SoapyDevice.h"

#include <SoapySDR/Logger.hpp>

namespace veltrano::soapy {

bool SoapyDevice::takesTurns() const
{
    return !board_->fullDuplex();
}

bool SoapyDevice::startReceiving()
{
    return sweepRequested_ ? board_->startNativeSweep() : board_->startRx();
}

void SoapyDevice::takeBoardForTx()
{
    if (!rx_.active || !takesTurns()) {
        return;
    }
    const std::lock_guard lock(rxMutex_); // after the read in progress
    board_->stopRx();
    rx_.active = false;
    rx_.waiting = true;
    rxPausedMidStream_ = true;
    // The reader drops what it read before the pause, as after a retune.
    liveRxRetunes_.fetch_add(1, std::memory_order_release);
    SoapySDR::log(SOAPY_SDR_DEBUG, "veltrano: RX paused for a TX burst");
}

void SoapyDevice::handBoardBackToRx()
{
    if (!rx_.waiting) {
        return;
    }
    const std::lock_guard lock(rxMutex_);
    rx_.waiting = false;
    if (!configure(SOAPY_SDR_RX, rx_.config) || !startReceiving()) {
        rxResumeFailed_.store(true, std::memory_order_release);
        SoapySDR::log(SOAPY_SDR_ERROR,
                      "veltrano: the board did not resume the RX stream after the TX burst" + boardReason());
        return;
    }
    rx_.active = true;
    // The board's own counters start again with its stream, which is no
    // loss; the gap is the one the reader learns of next.
    static_cast<void>(lossesMoved(*rx_.stream));
    if (rxPausedMidStream_) {
        rxPausedMidStream_ = false;
        ++rxPushToTalkGaps_;
    }
    SoapySDR::log(SOAPY_SDR_DEBUG, "veltrano: RX resumed at its own settings after the TX burst");
}

bool SoapyDevice::resumeTxBurst()
{
    takeBoardForTx();
    if (!configure(SOAPY_SDR_TX, tx_.config)) {
        SoapySDR::log(SOAPY_SDR_ERROR,
                      "veltrano: the board did not take the TX settings for the next burst" + boardReason());
        handBoardBackToRx();
        return false;
    }
    tx_.waiting = false;
    tx_.active = true;
    return true;
}

} // namespace veltrano::soapy
