// Sweep and transmit entry points of HackRfSdrDevice. This build refuses them
// with a clear text until their callbacks are in place; the transmit stop
// already releases whatever stream the library runs.
#include "device/hackrf/HackRfSdrDevice.h"

#include "device/hackrf/HackRfApi.h"

namespace veltrano {
namespace {

constexpr const char* kStreamingUnavailable = ": not supported by this build of the HackRF backend";

} // namespace

bool HackRfSdrDevice::refuse(const char* step)
{
    lastError_.set(std::string(step) + kStreamingUnavailable);
    return false;
}

void HackRfSdrDevice::takeSweepTransfer(const std::uint8_t*, std::size_t)
{
    // No sweep is ever started by this build.
}

bool HackRfSdrDevice::supportsNativeSweep() const
{
    return false;
}

bool HackRfSdrDevice::configureNativeSweep(const StreamConfig&, double, double)
{
    return refuse("native sweep");
}

bool HackRfSdrDevice::startNativeSweep()
{
    return refuse("native sweep");
}

bool HackRfSdrDevice::readNativeSweepBlock(NativeSweepBlock&)
{
    return false;
}

bool HackRfSdrDevice::recoverNativeSweep()
{
    return refuse("native sweep");
}

bool HackRfSdrDevice::configureTx(const StreamConfig&)
{
    return refuse("transmit configuration");
}

bool HackRfSdrDevice::startTx()
{
    return refuse("transmit start");
}

bool HackRfSdrDevice::drainTx(std::stop_token stop)
{
    return !stop.stop_requested();
}

void HackRfSdrDevice::stopTx()
{
    txDraining_.store(false, std::memory_order_release);
    const HackRfApi& api = hackRfApi();
    if (txStreaming_.exchange(false) && isOpen() && api.stopTx != nullptr) {
        static_cast<void>(api.stopTx(handle_->device));
    }
}

std::size_t HackRfSdrDevice::writeSamples(const std::complex<float>*, std::size_t)
{
    return 0;
}

} // namespace veltrano
