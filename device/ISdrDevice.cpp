// SPDX-License-Identifier: MIT
// The defaults of ISdrDevice: a capability the backend does not override is
// absent, and asking for it changes nothing (false, zero, nullopt or empty).
#include "device/ISdrDevice.h"

#include <limits>

namespace veltrano {

std::string ISdrDevice::lastError() const
{
    return {};
}
std::optional<double> ISdrDevice::streamTimeSeconds() const
{
    return std::nullopt;
}

// ---- Tuning -----------------------------------------------------------------

bool ISdrDevice::supportsFastRxRetune() const
{
    return false;
}
bool ISdrDevice::prepareRxFrequencies(const std::vector<double>&)
{
    return true;
}
std::uint64_t ISdrDevice::fastRxRetuneCount() const
{
    return 0;
}
std::uint64_t ISdrDevice::regularRxRetuneCount() const
{
    return 0;
}
std::uint64_t ISdrDevice::failedFastRxRetuneCount() const
{
    return 0;
}
int ISdrDevice::lastFastRxRetuneError() const
{
    return 0;
}
bool ISdrDevice::supportsRxAmplifier() const
{
    return false;
}
bool ISdrDevice::setRxAmplifier(bool)
{
    return false;
}

// ---- Native sweep -----------------------------------------------------------

bool ISdrDevice::supportsNativeSweep() const
{
    return false;
}
bool ISdrDevice::configureNativeSweep(const StreamConfig&, double, double)
{
    return false;
}
bool ISdrDevice::startNativeSweep()
{
    return false;
}
bool ISdrDevice::readNativeSweepBlock(NativeSweepBlock&)
{
    return false;
}
std::size_t ISdrDevice::nativeSweepFftSize() const
{
    return 1024;
}
bool ISdrDevice::recoverNativeSweep()
{
    return false;
}

// ---- Transmit ---------------------------------------------------------------

// A default-constructed token has no stop state and counts as not requested.
bool ISdrDevice::drainTx(std::stop_token stop)
{
    return !stop.stop_requested();
}

// ---- Native sample format ---------------------------------------------------

NativeSampleFormat ISdrDevice::nativeSampleFormat() const
{
    return NativeSampleFormat::none;
}
std::size_t ISdrDevice::readNativeSamples(void*, std::size_t)
{
    return 0;
}
std::size_t ISdrDevice::writeNativeSamples(const void*, std::size_t)
{
    return 0;
}

// ---- Losses and stream state ------------------------------------------------

StreamLosses ISdrDevice::streamLosses() const
{
    return {};
}
std::string ISdrDevice::streamEnded(StreamDirection) const
{
    return {};
}
StreamLimits ISdrDevice::streamLimits(StreamDirection) const
{
    return {};
}
bool ISdrDevice::supportsRxOverflowPolicy() const
{
    return false;
}
bool ISdrDevice::setRxOverflowPolicy(RxOverflowPolicy policy)
{
    return policy == RxOverflowPolicy::keepOldest;
}
RxOverflowPolicy ISdrDevice::rxOverflowPolicy() const
{
    return RxOverflowPolicy::keepOldest;
}
bool ISdrDevice::setBoardLossLimit(StreamDirection, std::uint32_t bytes)
{
    return bytes == 0;
}
std::optional<std::uint32_t> ISdrDevice::boardLossLimit(StreamDirection) const
{
    return std::nullopt;
}

// ---- Live control -----------------------------------------------------------

std::vector<GainStage> ISdrDevice::gainStages(StreamDirection) const
{
    return {};
}
std::optional<GainStage> ISdrDevice::overallGainRange(StreamDirection) const
{
    return std::nullopt;
}
bool ISdrDevice::setGainStage(StreamDirection, const std::string&, double)
{
    return false;
}
std::optional<double> ISdrDevice::gainStageDb(StreamDirection, const std::string&) const
{
    return std::nullopt;
}
bool ISdrDevice::setGain(StreamDirection, double)
{
    return false;
}
std::optional<double> ISdrDevice::gainDb(StreamDirection) const
{
    return std::nullopt;
}
bool ISdrDevice::setSampleRate(StreamDirection, double)
{
    return false;
}
std::vector<FrequencyRangeHz> ISdrDevice::bandwidthRangesHz(StreamDirection) const
{
    return {};
}
bool ISdrDevice::setBandwidth(StreamDirection, double)
{
    return false;
}
std::optional<double> ISdrDevice::bandwidthHz(StreamDirection) const
{
    return std::nullopt;
}
bool ISdrDevice::supportsAutomaticGain(StreamDirection) const
{
    return false;
}
bool ISdrDevice::setAutomaticGain(StreamDirection, bool)
{
    return false;
}
bool ISdrDevice::automaticGain(StreamDirection) const
{
    return false;
}
bool ISdrDevice::supportsBiasTee(StreamDirection) const
{
    return false;
}
bool ISdrDevice::setBiasTee(StreamDirection, bool)
{
    return false;
}
bool ISdrDevice::biasTee(StreamDirection) const
{
    return false;
}

// ---- Both directions at once ------------------------------------------------

bool ISdrDevice::supportsFullDuplex() const
{
    return false;
}
bool ISdrDevice::setFullDuplex(bool enabled)
{
    return !enabled;
}
bool ISdrDevice::fullDuplex() const
{
    return false;
}

// ---- Hardware time ----------------------------------------------------------

bool ISdrDevice::hasHardwareTime() const
{
    return false;
}
std::optional<std::int64_t> ISdrDevice::hardwareTimeNs()
{
    return std::nullopt;
}
bool ISdrDevice::setHardwareTimeNs(std::int64_t)
{
    return false;
}
std::optional<std::int64_t> ISdrDevice::readTimeNs(std::size_t) const
{
    return std::nullopt;
}
bool ISdrDevice::startRxAt(std::int64_t)
{
    return false;
}
bool ISdrDevice::startTimedTx()
{
    return false;
}
std::size_t ISdrDevice::writeBurst(const std::complex<float>*, std::size_t, const TxBurstMarks&)
{
    return 0;
}
std::size_t ISdrDevice::writeNativeBurst(const void*, std::size_t, const TxBurstMarks&)
{
    return 0;
}
std::optional<TxEvent> ISdrDevice::nextTxEvent()
{
    return std::nullopt;
}

// ---- Identity and health ----------------------------------------------------

BoardIdentity ISdrDevice::boardIdentity() const
{
    return {};
}
std::vector<SensorDescription> ISdrDevice::sensors() const
{
    return {};
}
std::vector<SensorDescription> ISdrDevice::channelSensors(StreamDirection) const
{
    return {};
}

SensorReading ISdrDevice::readSensor(const std::string& name)
{
    return {std::nullopt, "the board has no sensor named \"" + name + "\""};
}

SensorReading ISdrDevice::readChannelSensor(StreamDirection, const std::string& name)
{
    return {std::nullopt, "the channel has no sensor named \"" + name + "\""};
}

// ---- Antennas and accessories -----------------------------------------------

std::vector<std::string> ISdrDevice::antennas(StreamDirection) const
{
    return {};
}

std::string ISdrDevice::antenna(StreamDirection) const
{
    return {};
}

bool ISdrDevice::setAntenna(StreamDirection, const std::string&)
{
    return false;
}

bool ISdrDevice::setAntennaPlan(const std::vector<AntennaRange>& plan)
{
    return plan.empty();
}

std::vector<ISdrDevice::AntennaRange> ISdrDevice::antennaPlan() const
{
    return {};
}

std::vector<std::string> ISdrDevice::accessories() const
{
    return {};
}

std::vector<ISdrDevice::AttachableAccessory> ISdrDevice::attachableAccessories() const
{
    return {};
}

bool ISdrDevice::attachAccessory(const std::string&, const std::string&)
{
    return false;
}

// ---- Several channels of one direction ------------------------------------

std::size_t ISdrDevice::channelCount(StreamDirection) const
{
    return 1;
}
bool ISdrDevice::setStreamChannels(StreamDirection, const std::vector<std::size_t>& channels)
{
    return channels == std::vector<std::size_t>{0};
}
std::vector<std::size_t> ISdrDevice::streamChannels(StreamDirection) const
{
    return {0};
}
std::size_t ISdrDevice::readChannelSamples(std::complex<float>* const* buffers, std::size_t count)
{
    return buffers == nullptr ? 0 : readSamples(buffers[0], count);
}
std::size_t ISdrDevice::readNativeChannelSamples(void* const* buffers, std::size_t count)
{
    return buffers == nullptr ? 0 : readNativeSamples(buffers[0], count);
}
std::size_t ISdrDevice::writeChannelSamples(const std::complex<float>* const* buffers, std::size_t count)
{
    return buffers == nullptr ? 0 : writeSamples(buffers[0], count);
}
std::size_t ISdrDevice::writeNativeChannelSamples(const void* const* buffers, std::size_t count)
{
    return buffers == nullptr ? 0 : writeNativeSamples(buffers[0], count);
}
bool ISdrDevice::setChannelGain(StreamDirection, std::size_t, double)
{
    return false;
}
double ISdrDevice::channelGain(StreamDirection, std::size_t) const
{
    return std::numeric_limits<double>::quiet_NaN();
}

// ---- Boards that sample in step ---------------------------------------------

bool ISdrDevice::supportsTrigger(StreamDirection) const
{
    return false;
}
std::vector<std::string> ISdrDevice::triggerSignals(StreamDirection) const
{
    return {};
}
bool ISdrDevice::setTrigger(StreamDirection, TriggerRole role, const std::string&)
{
    return role == TriggerRole::off;
}
bool ISdrDevice::armTrigger(StreamDirection, bool armed)
{
    return !armed;
}
bool ISdrDevice::fireTrigger(StreamDirection)
{
    return false;
}
std::optional<TriggerState> ISdrDevice::triggerState(StreamDirection) const
{
    return std::nullopt;
}
std::optional<std::int64_t> ISdrDevice::triggeredStartTimeNs() const
{
    return std::nullopt;
}
std::vector<ClockSourceInfo> ISdrDevice::clockSources() const
{
    return {};
}
bool ISdrDevice::setClockSource(const std::string&, double)
{
    return false;
}
std::string ISdrDevice::clockSource() const
{
    return {};
}
std::optional<bool> ISdrDevice::clockLocked() const
{
    return std::nullopt;
}
bool ISdrDevice::supportsClockOutput() const
{
    return false;
}
bool ISdrDevice::setClockOutput(bool)
{
    return false;
}
std::optional<bool> ISdrDevice::clockOutput() const
{
    return std::nullopt;
}
bool ISdrDevice::setChannelGainStage(StreamDirection direction, std::size_t channel, const std::string& stage,
                                     double gainDb)
{
    return channel == 0 && setGainStage(direction, stage, gainDb);
}
std::optional<double> ISdrDevice::channelGainStageDb(StreamDirection direction, std::size_t channel,
                                                     const std::string& stage) const
{
    return channel == 0 ? gainStageDb(direction, stage) : std::nullopt;
}
bool ISdrDevice::setChannelAutomaticGain(StreamDirection direction, std::size_t channel, bool enabled)
{
    return channel == 0 && setAutomaticGain(direction, enabled);
}
bool ISdrDevice::channelAutomaticGain(StreamDirection direction, std::size_t channel) const
{
    return channel == 0 && automaticGain(direction);
}

} // namespace veltrano
