// Transmit entry points of HackRfSdrDevice. This build refuses them with a
// clear text until the transmit callback is in place; the stop already
// releases whatever stream the library runs.
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
