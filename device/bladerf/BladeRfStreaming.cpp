// Receive, retune and transmit entry points of BladeRfSdrDevice. This build
// opens, identifies and closes boards; streaming refuses (false, 0) until the
// synchronous stream paths are in place.
#include "device/bladerf/BladeRfSdrDevice.h"

namespace veltrano {

bool BladeRfSdrDevice::configureRx(const StreamConfig&)
{
    return false;
}

bool BladeRfSdrDevice::setRxFrequency(double)
{
    return false;
}

bool BladeRfSdrDevice::supportsFastRxRetune() const
{
    return false;
}

bool BladeRfSdrDevice::prepareRxFrequencies(const std::vector<double>& frequenciesHz)
{
    return frequenciesHz.empty();
}

std::uint64_t BladeRfSdrDevice::fastRxRetuneCount() const
{
    return fastRxRetuneCount_.load();
}

std::uint64_t BladeRfSdrDevice::regularRxRetuneCount() const
{
    return regularRxRetuneCount_.load();
}

std::uint64_t BladeRfSdrDevice::failedFastRxRetuneCount() const
{
    return failedFastRxRetuneCount_.load();
}

int BladeRfSdrDevice::lastFastRxRetuneError() const
{
    return lastFastRxRetuneError_.load();
}

bool BladeRfSdrDevice::startRx()
{
    return false;
}

std::size_t BladeRfSdrDevice::readSamples(std::complex<float>*, std::size_t)
{
    return 0;
}

bool BladeRfSdrDevice::configureTx(const StreamConfig&)
{
    return false;
}

bool BladeRfSdrDevice::startTx()
{
    return false;
}

std::size_t BladeRfSdrDevice::writeSamples(const std::complex<float>*, std::size_t)
{
    return 0;
}

} // namespace veltrano
