// SPDX-License-Identifier: MIT
// The simulated libbladeRF: the vendor's C entry points with the prototypes of
// its published header, backed by the scripted Simulator. One source builds
// every variant; a variant that lacks an entry point is compiled with
// SIM_OMIT_<name>, which leaves that definition out so the library does not
// export it. The header's API_EXPORT exports the rest on every platform.

#include "bladerf/library/BladeRfSimDevice.h"
#include "bladerf/library/BladeRfSimStreams.h"
#include "bladerf/library/BladeRfSimSync.h"
#include "bladerf/library/BladeRfSimulator.h"

#include "common/SimCalls.h"
#include "common/SimJournal.h"

#include <libbladeRF.h>

#if defined(SIM_DEPENDENT)
#include "dependent/SimDependency.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace veltrano::sim::bladerf {
namespace {

using veltrano::sim::validDevice;

// Counts the call and applies its scripted failure, if any: the failure's
// result, after waiting for the call's own time-out when the script says so.
std::optional<int> scriptedFailure(Entry entry, unsigned timeoutMs = 0)
{
    Simulator& sim = simulator();
    const FaultRule* fault = sim.failureOf(entry, sim.countCall(entry));
    if (fault == nullptr) {
        return std::nullopt;
    }
    if (fault->timeout && timeoutMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    }
    return fault->result;
}

// The simple calls: check the device, apply the script, record the call with
// its arguments and result (`otherwise` when the script has none for it).
int recordDeviceCall(::bladerf* device, Entry entry, JournalLine line, int otherwise = 0)
{
    int result = BLADERF_ERR_INVAL;
    if (validDevice(device)) {
        result = scriptedFailure(entry).value_or(otherwise);
    }
    simulator().log(line.result(result));
    return result;
}

// Marks a control call on a valid device as in flight, for the overlap detector.
class ControlCall {
public:
    ControlCall(::bladerf* device, std::string_view name)
    {
        if (validDevice(device)) {
            guard_.emplace(*device, ActivityGuard::Kind::retune, name);
        }
    }

private:
    std::optional<ActivityGuard> guard_;
};

// The index of the named stage in the channel's chain, or nullopt (also for a null name).
// Unused in a variant without the stage calls.
[[maybe_unused]] std::optional<std::size_t> stageIndex(::bladerf& device, bladerf_channel channel, const char* stage)
{
    const auto& stages = streamFor(device, channel).chain->stages;
    for (std::size_t index = 0; stage != nullptr && index < stages.size(); ++index) {
        if (stages[index].name == stage) {
            return index;
        }
    }
    return std::nullopt;
}

int readRange(const char* name, ::bladerf* device, bladerf_channel ch, const bladerf_range** range, bool frequencies)
{
    Simulator& sim = simulator();
    int result = BLADERF_ERR_INVAL;
    if (validDevice(device) && range != nullptr) {
        const Board& board = *device->board;
        result = frequencies ? board.frequenciesResult : board.sampleRatesResult;
        if (result >= 0) {
            if (!frequencies) {
                *range = &board.sampleRates;
            } else {
                *range = BLADERF_CHANNEL_IS_TX(ch) ? &board.txFrequencies : &board.rxFrequencies;
            }
        }
    }
    sim.log((JournalLine(name) << ch).result(result));
    return result;
}

} // namespace
} // namespace veltrano::sim::bladerf

using namespace veltrano::sim;
using namespace veltrano::sim::bladerf;

namespace {

// The identity calls: one answer from the board, or BLADERF_ERR_INVAL for a
// bad device or a null out pointer; journalled like the others.
template <typename Out, typename Fill>
[[maybe_unused]] int answerIdentity(struct bladerf* dev, const char* name, Out* out, Fill fill)
{
    const veltrano::sim::bladerf::ControlCall control(dev, name);
    const int result = validDevice(dev) && out != nullptr ? 0 : BLADERF_ERR_INVAL;
    if (result == 0) {
        fill(*dev->board, *out);
    }
    simulator().log(JournalLine(name).result(result));
    return result;
}

} // namespace

extern "C" {

int CALL_CONV bladerf_get_device_list(struct bladerf_devinfo** devices)
{
    Simulator& sim = simulator();
    const auto& script = sim.script();
    const int boards = static_cast<int>(script.boards.size());
    // Like the real library: the number of boards, or BLADERF_ERR_NODEV for none.
    int result = boards > 0 && !sim.unpluggedByOpens() ? boards : BLADERF_ERR_NODEV;
    if (sim.unpluggedByOpens()) {
        // gone: the list is empty whatever the script says of it
    } else if (script.listResult) {
        // A scripted positive count never exceeds the boards, so the simulator
        // itself never hands out a list shorter than the count it reports.
        result = *script.listResult > boards ? boards : *script.listResult;
    } else if (script.listNull) {
        result = boards;
    }
#if defined(SIM_DEPENDENT)
    if (veltrano_sim_dependency_check() != kVeltranoSimDependencyCheck) {
        result = BLADERF_ERR_UNEXPECTED;
    }
#endif
    if (devices == nullptr) {
        result = BLADERF_ERR_INVAL;
    } else if (result > 0 && !script.listNull) {
        auto* list = new bladerf_devinfo[static_cast<std::size_t>(result)];
        for (int index = 0; index < result; ++index) {
            list[index] = script.boards[static_cast<std::size_t>(index)].info;
            list[index].usb_bus = 1;
            list[index].usb_addr = static_cast<std::uint8_t>(index % 127 + 1);
            list[index].instance = static_cast<unsigned>(index);
        }
        *devices = list;
    }
    sim.log(JournalLine("bladerf_get_device_list").result(result));
    return result;
}

void CALL_CONV bladerf_free_device_list(struct bladerf_devinfo* devices)
{
    simulator().log(JournalLine("bladerf_free_device_list"));
    delete[] devices;
}

int CALL_CONV bladerf_open(struct bladerf** device, const char* device_identifier)
{
    Simulator& sim = simulator();
    const auto& script = sim.script();
    int result = BLADERF_ERR_INVAL;
    if (device != nullptr) {
        const veltrano::sim::OpenRule* rule = script.openRules.find(device_identifier);
        if (sim.unpluggedByOpens()) {
            result = BLADERF_ERR_NODEV;
        } else if (rule != nullptr) {
            result = rule->result;
            if (result == 0) {
                *device = rule->nullDevice ? nullptr
                                           : new ::bladerf(sim.boardForScriptedOpen(device_identifier), script.rxScene);
            }
        } else if (const Board* board = sim.findBoard(device_identifier)) {
            result = 0;
            *device = new ::bladerf(*board, script.rxScene);
        } else {
            result = BLADERF_ERR_NODEV;
        }
        if (result == 0) {
            sim.countSuccessfulOpen();
        }
    }
    sim.log((JournalLine("bladerf_open") << textOrNull(device_identifier)).result(result));
    return result;
}

void CALL_CONV bladerf_close(struct bladerf* device)
{
    simulator().log(JournalLine("bladerf_close"));
    if (validDevice(device)) {
        veltrano::sim::bladerf::leaveSync(*device);
        device->magic = 0;
        delete device;
    }
}

const char* CALL_CONV bladerf_get_board_name(struct bladerf* dev)
{
    simulator().log(JournalLine("bladerf_get_board_name"));
    if (!validDevice(dev) || dev->board->nameNull) {
        return nullptr;
    }
    return dev->board->name.c_str();
}

size_t CALL_CONV bladerf_get_channel_count(struct bladerf* dev, bladerf_direction dir)
{
    Simulator& sim = simulator();
    const int direction = enumValue(dir);
    std::size_t count = 0;
    if (validDevice(dev)) {
        if (direction == BLADERF_RX) {
            count = dev->board->rxChannels;
        } else if (direction == BLADERF_TX) {
            count = dev->board->txChannels;
        }
    }
    sim.log((JournalLine("bladerf_get_channel_count") << direction).result(static_cast<std::int64_t>(count)));
    return count;
}

int CALL_CONV bladerf_set_frequency(struct bladerf* dev, bladerf_channel ch, bladerf_frequency frequency)
{
    std::optional<ActivityGuard> retuning;
    if (validDevice(dev)) {
        retuning.emplace(*dev, ActivityGuard::Kind::retune, "bladerf_set_frequency");
    }
    const int result = recordDeviceCall(
        dev, Entry::setFrequency, JournalLine("bladerf_set_frequency") << ch << static_cast<std::uint64_t>(frequency));
    if (result == 0) {
        streamFor(*dev, ch).frequency = frequency;
        veltrano::sim::bladerf::retuneScene(streamFor(*dev, ch), 0, frequency);
    }
    return result;
}

#if !defined(SIM_OMIT_bladerf_schedule_retune)
int CALL_CONV bladerf_schedule_retune(struct bladerf* dev, bladerf_channel ch, bladerf_timestamp timestamp,
                                      bladerf_frequency frequency, struct bladerf_quick_tune* quick_tune)
{
    Simulator& sim = simulator();
    JournalLine line = JournalLine("bladerf_schedule_retune")
                       << ch << static_cast<std::uint64_t>(timestamp) << static_cast<std::uint64_t>(frequency);
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev)) {
        const ActivityGuard retuning(*dev, ActivityGuard::Kind::retune, "bladerf_schedule_retune");
        // Only a record this device handed out for that very frequency retunes it.
        bladerf_frequency target = frequency;
        bool recordValid = true;
        if (quick_tune != nullptr) {
            const auto recorded = veltrano::sim::bladerf::quickTuneFrequency(*quick_tune, ch);
            recordValid = recorded.has_value() && dev->quickTunesHandedOut[ch & 1].count(*recorded) != 0;
            target = recorded.value_or(0);
            line << "quick-tune" << (recordValid ? std::to_string(target) : std::string("invalid"));
        } else {
            line << "(null)";
        }
        result = scriptedFailure(Entry::scheduleRetune).value_or(0);
        if (result == 0 && !recordValid) {
            result = BLADERF_ERR_INVAL;
        }
        if (result == 0) {
            // Timestamp 0 retunes at once.
            streamFor(*dev, ch).frequency = target;
            veltrano::sim::bladerf::retuneScene(streamFor(*dev, ch), timestamp, target);
        }
    }
    sim.log(line.result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_quick_tune)
int CALL_CONV bladerf_get_quick_tune(struct bladerf* dev, bladerf_channel ch, struct bladerf_quick_tune* quick_tune)
{
    Simulator& sim = simulator();
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && quick_tune != nullptr) {
        const ActivityGuard retuning(*dev, ActivityGuard::Kind::retune, "bladerf_get_quick_tune");
        result = scriptedFailure(Entry::getQuickTune).value_or(0);
        if (result == 0) {
            const bladerf_frequency tuned = streamFor(*dev, ch).frequency;
            *quick_tune = veltrano::sim::bladerf::quickTuneRecord(ch, tuned);
            dev->quickTunesHandedOut[ch & 1].insert(tuned);
        }
    }
    sim.log((JournalLine("bladerf_get_quick_tune") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_timestamp)
int CALL_CONV bladerf_get_timestamp(struct bladerf* dev, bladerf_direction dir, bladerf_timestamp* timestamp)
{
    Simulator& sim = simulator();
    const int direction = enumValue(dir);
    int result = BLADERF_ERR_INVAL;
    std::uint64_t reported = 0;
    if (validDevice(dev) && timestamp != nullptr) {
        const ActivityGuard retuning(*dev, ActivityGuard::Kind::retune, "bladerf_get_timestamp");
        result = scriptedFailure(Entry::getTimestamp).value_or(0);
        if (result == 0) {
            reported = sim.script().fixedTimestamp.value_or(
                (direction & 1) != 0 ? veltrano::sim::bladerf::transmitCounter(*dev) : dev->rx.timestamp);
            *timestamp = reported;
        }
    }
    sim.log((JournalLine("bladerf_get_timestamp") << direction << reported).result(result));
    return result;
}
#endif

int CALL_CONV bladerf_get_frequency_range(struct bladerf* dev, bladerf_channel ch, const struct bladerf_range** range)
{
    return veltrano::sim::bladerf::readRange("bladerf_get_frequency_range", dev, ch, range, true);
}

int CALL_CONV bladerf_set_sample_rate(struct bladerf* dev, bladerf_channel ch, bladerf_sample_rate rate,
                                      bladerf_sample_rate* actual)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_sample_rate");
    const int result =
        recordDeviceCall(dev, Entry::setSampleRate, JournalLine("bladerf_set_sample_rate") << ch << rate);
    if (result == 0) {
        streamFor(*dev, ch).sampleRate = rate;
        if (actual != nullptr) {
            *actual = rate;
        }
    }
    return result;
}

int CALL_CONV bladerf_get_sample_rate_range(struct bladerf* dev, bladerf_channel ch, const struct bladerf_range** range)
{
    return veltrano::sim::bladerf::readRange("bladerf_get_sample_rate_range", dev, ch, range, false);
}

int CALL_CONV bladerf_set_bandwidth(struct bladerf* dev, bladerf_channel ch, bladerf_bandwidth bandwidth,
                                    bladerf_bandwidth* actual)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_bandwidth");
    const int result =
        recordDeviceCall(dev, Entry::setBandwidth, JournalLine("bladerf_set_bandwidth") << ch << bandwidth);
    if (result == 0 && actual != nullptr) {
        *actual = bandwidth;
    }
    return result;
}

int CALL_CONV bladerf_set_gain_mode(struct bladerf* dev, bladerf_channel ch, bladerf_gain_mode mode)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_gain_mode");
    return recordDeviceCall(dev, Entry::setGainMode, JournalLine("bladerf_set_gain_mode") << ch << enumValue(mode));
}

int CALL_CONV bladerf_set_gain(struct bladerf* dev, bladerf_channel ch, bladerf_gain gain)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_gain");
    const int result = recordDeviceCall(dev, Entry::setGain, JournalLine("bladerf_set_gain") << ch << gain);
    if (result == 0) {
        auto& stream = streamFor(*dev, ch);
        ::bladerf::distributeGain(*stream.chain, stream.gainsOf(ch), gain);
    }
    return result;
}

#if !defined(SIM_OMIT_bladerf_get_gain)
int CALL_CONV bladerf_get_gain(struct bladerf* dev, bladerf_channel ch, bladerf_gain* gain)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && gain != nullptr) {
        const auto& stream = streamFor(*dev, ch);
        *gain = ::bladerf::reported(::bladerf::stageSum(stream.gainsOf(ch)) + stream.chain->offsetDb);
        result = 0;
    }
    simulator().log((JournalLine("bladerf_get_gain") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_gain_stages)
int CALL_CONV bladerf_get_gain_stages(struct bladerf* dev, bladerf_channel ch, const char** stages, size_t count)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain_stages");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev)) {
        const auto& chain = *streamFor(*dev, ch).chain;
        for (std::size_t index = 0; stages != nullptr && index < count && index < chain.stages.size(); ++index) {
            stages[index] = chain.stages[index].name.c_str();
        }
        result = static_cast<int>(chain.stages.size());
    }
    simulator().log((JournalLine("bladerf_get_gain_stages") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_gain_stage_range)
int CALL_CONV bladerf_get_gain_stage_range(struct bladerf* dev, bladerf_channel ch, const char* stage,
                                           const struct bladerf_range** range)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain_stage_range");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && range != nullptr) {
        // No stage at all is the overall gain, as the library's bladeRF 2.0 has it.
        const auto& chain = *streamFor(*dev, ch).chain;
        if (stage == nullptr) {
            *range = &chain.overall;
            result = 0;
        } else if (const auto index = veltrano::sim::bladerf::stageIndex(*dev, ch, stage)) {
            *range = &chain.stages[*index].range;
            result = 0;
        }
    }
    simulator().log((JournalLine("bladerf_get_gain_stage_range") << ch << textOrNull(stage)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_gain_range)
int CALL_CONV bladerf_get_gain_range(struct bladerf* dev, bladerf_channel ch, const struct bladerf_range** range)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain_range");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && range != nullptr) {
        *range = &streamFor(*dev, ch).chain->overall;
        result = 0;
    }
    simulator().log((JournalLine("bladerf_get_gain_range") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_set_gain_stage)
int CALL_CONV bladerf_set_gain_stage(struct bladerf* dev, bladerf_channel ch, const char* stage, bladerf_gain gain)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_gain_stage");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev)) {
        result = scriptedFailure(Entry::setGainStage).value_or(0);
        const auto index = veltrano::sim::bladerf::stageIndex(*dev, ch, stage);
        if (result == 0 && !index) {
            result = BLADERF_ERR_INVAL;
        }
        if (result == 0) {
            // Clamped into the stage's range, as libbladeRF does.
            auto& stream = streamFor(*dev, ch);
            const bladerf_range& range = stream.chain->stages[*index].range;
            stream.gainsOf(ch)[*index] =
                std::clamp(static_cast<std::int64_t>(gain), ::bladerf::wholeDb(range, range.min),
                           ::bladerf::wholeDb(range, range.max));
        }
    }
    simulator().log((JournalLine("bladerf_set_gain_stage") << ch << textOrNull(stage) << gain).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_gain_stage)
int CALL_CONV bladerf_get_gain_stage(struct bladerf* dev, bladerf_channel ch, const char* stage, bladerf_gain* gain)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain_stage");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && gain != nullptr) {
        if (const auto index = veltrano::sim::bladerf::stageIndex(*dev, ch, stage)) {
            *gain = ::bladerf::reported(streamFor(*dev, ch).gainsOf(ch)[*index]);
            result = 0;
        }
    }
    simulator().log((JournalLine("bladerf_get_gain_stage") << ch << textOrNull(stage)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_gain_modes)
int CALL_CONV bladerf_get_gain_modes(struct bladerf* dev, bladerf_channel ch, const struct bladerf_gain_modes** modes)
{
    // Receive has the automatic mode beside the manual one; transmit has none.
    static const bladerf_gain_modes kReceiveModes[] = {{"automatic", BLADERF_GAIN_DEFAULT},
                                                       {"manual", BLADERF_GAIN_MGC}};
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_gain_modes");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && modes != nullptr) {
        const bool receive = !BLADERF_CHANNEL_IS_TX(ch);
        *modes = receive ? kReceiveModes : nullptr;
        result = receive ? 2 : 0;
    }
    simulator().log((JournalLine("bladerf_get_gain_modes") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_bandwidth_range)
int CALL_CONV bladerf_get_bandwidth_range(struct bladerf* dev, bladerf_channel ch, const struct bladerf_range** range)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_bandwidth_range");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && range != nullptr) {
        *range = &dev->board->bandwidths;
        result = 0;
    }
    simulator().log((JournalLine("bladerf_get_bandwidth_range") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_set_bias_tee)
int CALL_CONV bladerf_set_bias_tee(struct bladerf* dev, bladerf_channel ch, bool enable)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_set_bias_tee");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev)) {
        result = scriptedFailure(Entry::setBiasTee).value_or(0);
        if (result == 0 && !dev->board->biasTee) {
            result = BLADERF_ERR_UNSUPPORTED; // a bladeRF1: the library's answer
        }
        if (result == 0) {
            streamFor(*dev, ch).biasTee = enable;
        }
    }
    simulator().log((JournalLine("bladerf_set_bias_tee") << ch << (enable ? 1 : 0)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_bias_tee)
int CALL_CONV bladerf_get_bias_tee(struct bladerf* dev, bladerf_channel ch, bool* enable)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_bias_tee");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && enable != nullptr) {
        result = dev->board->biasTee ? 0 : BLADERF_ERR_UNSUPPORTED;
        if (result == 0) {
            *enable = streamFor(*dev, ch).biasTee;
        }
    }
    simulator().log((JournalLine("bladerf_get_bias_tee") << ch).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_fw_version)
int CALL_CONV bladerf_fw_version(struct bladerf* dev, struct bladerf_version* version)
{
    return answerIdentity(dev, "bladerf_fw_version", version, [](const Board& board, struct bladerf_version& out) {
        out = {0, 0, 0, board.firmwareVersion.c_str()};
    });
}
#endif

#if !defined(SIM_OMIT_bladerf_fpga_version)
int CALL_CONV bladerf_fpga_version(struct bladerf* dev, struct bladerf_version* version)
{
    return answerIdentity(dev, "bladerf_fpga_version", version, [](const Board& board, struct bladerf_version& out) {
        out = {0, 0, 0, board.fpgaVersion.c_str()};
    });
}
#endif

#if !defined(SIM_OMIT_bladerf_get_fpga_size)
int CALL_CONV bladerf_get_fpga_size(struct bladerf* dev, bladerf_fpga_size* size)
{
    return answerIdentity(dev, "bladerf_get_fpga_size", size,
                          [](const Board& board, bladerf_fpga_size& out) { out = board.fpgaSize; });
}
#endif

#if !defined(SIM_OMIT_bladerf_is_fpga_configured)
int CALL_CONV bladerf_is_fpga_configured(struct bladerf* dev)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_is_fpga_configured");
    const int result = validDevice(dev) ? (dev->board->fpgaConfigured ? 1 : 0) : BLADERF_ERR_INVAL;
    simulator().log(JournalLine("bladerf_is_fpga_configured").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_rfic_temperature)
int CALL_CONV bladerf_get_rfic_temperature(struct bladerf* dev, float* val)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_rfic_temperature");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && val != nullptr) {
        result = dev->board->ad9361 ? 0 : BLADERF_ERR_UNSUPPORTED;
        if (result == 0) {
            *val = dev->board->rficTemperature;
        }
    }
    simulator().log(JournalLine("bladerf_get_rfic_temperature").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_get_rfic_rssi)
int CALL_CONV bladerf_get_rfic_rssi(struct bladerf* dev, bladerf_channel ch, int* pre_rssi, int* sym_rssi)
{
    const veltrano::sim::bladerf::ControlCall control(dev, "bladerf_get_rfic_rssi");
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && pre_rssi != nullptr && sym_rssi != nullptr) {
        result = dev->board->ad9361 ? 0 : BLADERF_ERR_UNSUPPORTED;
        if (result == 0) {
            *pre_rssi = dev->board->rssiDb;
            *sym_rssi = dev->board->rssiDb;
        }
    }
    simulator().log((JournalLine("bladerf_get_rfic_rssi") << ch).result(result));
    return result;
}
#endif

int CALL_CONV bladerf_sync_config(struct bladerf* dev, bladerf_channel_layout layout, bladerf_format format,
                                  unsigned int num_buffers, unsigned int buffer_size, unsigned int num_transfers,
                                  unsigned int stream_timeout)
{
    const int layoutValue = enumValue(layout);
    const int formatValue = enumValue(format);
    const bool refused = simulator().script().metadataRefused && formatValue != BLADERF_FORMAT_SC16_Q11;
    const int result =
        recordDeviceCall(dev, Entry::syncConfig,
                         JournalLine("bladerf_sync_config") << layoutValue << formatValue << num_buffers << buffer_size
                                                            << num_transfers << stream_timeout,
                         refused ? BLADERF_ERR_UNSUPPORTED : 0);
    if (result == 0) {
        auto& stream = streamFor(*dev, layoutValue);
        stream.configured = true;
        stream.layout = layoutValue;
        stream.format = formatValue;
        stream.bufferCount = num_buffers;
        stream.bufferSize = buffer_size;
        stream.transferCount = num_transfers;
        stream.timeoutMs = stream_timeout;
        if ((layoutValue & 1) != 0 && formatValue != BLADERF_FORMAT_SC16_Q11) {
            // A new timed transmit stream: the library's burst state starts afresh.
            const std::lock_guard lock(dev->txMutex);
            stream.inBurst = false;
            stream.burstNow = false;
            stream.bufferFill = 0;
            stream.timestamp = 0;
        }
    }
    return result;
}

int CALL_CONV bladerf_enable_module(struct bladerf* dev, bladerf_channel ch, bool enable)
{
    const int result =
        recordDeviceCall(dev, Entry::enableModule, JournalLine("bladerf_enable_module") << ch << (enable ? 1 : 0));
    if (result == 0) {
        auto& stream = streamFor(*dev, ch);
        if (enable && !stream.enabled) {
            stream.pacer.restart();
        }
        stream.channelEnabled[(ch >> 1) & 1] = enable;
        enable = stream.channelEnabled[0] || stream.channelEnabled[1];
        if (!enable && (ch & 1) != 0) {
            const std::lock_guard lock(dev->txMutex);
            dev->txTimeline.close(); // a burst the stop cut short is journalled as far as it went
        }
        stream.enabled = enable;
    }
    return result;
}

#if !defined(SIM_OMIT_bladerf_sync_rx)
int CALL_CONV bladerf_sync_rx(struct bladerf* dev, void* samples, unsigned int num_samples,
                              struct bladerf_metadata* metadata, unsigned int timeout_ms)
{
    Simulator& sim = simulator();
    int result = BLADERF_ERR_INVAL;
    JournalLine line = JournalLine("bladerf_sync_rx") << num_samples << timeout_ms;
    if (validDevice(dev) && samples != nullptr) {
        const ActivityGuard receiving(*dev, ActivityGuard::Kind::receive, "bladerf_sync_rx");
        const std::uint64_t call = sim.countCall(Entry::syncRx);
        if (metadata != nullptr) {
            // What the caller asked for: "now", or the timestamp to start at.
            line << ((metadata->flags & BLADERF_META_FLAG_RX_NOW) != 0 ? std::string("now")
                                                                       : "at=" + std::to_string(metadata->timestamp));
        }
        if (const veltrano::sim::FaultRule* fault = sim.failureOf(Entry::syncRx, call)) {
            if (fault->timeout) {
                std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            }
            result = fault->result;
        } else if (const int held = awaitTrigger(*dev, BLADERF_RX, timeout_ms); held != 0) {
            result = held; // armed: the board makes samples, none reach the host
        } else {
            result = veltrano::sim::bladerf::receive(*dev, static_cast<std::int16_t*>(samples), num_samples, metadata,
                                                     sim.receiveRuleFor(call));
        }
        if (result == 0 && metadata != nullptr) {
            line << "ts=" + std::to_string(metadata->timestamp) << "actual=" + std::to_string(metadata->actual_count);
        }
    }
    sim.log(line.result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_sync_tx)
int CALL_CONV bladerf_sync_tx(struct bladerf* dev, const void* samples, unsigned int num_samples,
                              struct bladerf_metadata* metadata, unsigned int timeout_ms)
{
    Simulator& sim = simulator();
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && samples != nullptr) {
        std::optional<int> failure = scriptedFailure(Entry::syncTx, timeout_ms);
        if (!failure) {
            // An armed board holds its transmit until the line fires.
            if (const int held = awaitTrigger(*dev, BLADERF_TX, timeout_ms); held != 0) {
                failure = held;
            }
        }
        result = failure ? *failure
                         : veltrano::sim::bladerf::transmit(*dev, static_cast<const std::int16_t*>(samples),
                                                            num_samples, metadata);
        if (metadata != nullptr && result != 0) {
            metadata->status = 0;
        }
    }
    JournalLine line = JournalLine("bladerf_sync_tx")
                       << num_samples << (metadata != nullptr ? "metadata" : "(null)") << timeout_ms;
    if (metadata != nullptr && metadata->flags != 0) {
        line << "flags=" + std::to_string(metadata->flags) << "at=" + std::to_string(metadata->timestamp);
    }
    sim.log(line.result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_strerror)
const char* CALL_CONV bladerf_strerror(int error)
{
    Simulator& sim = simulator();
    sim.log(JournalLine("bladerf_strerror") << error);
    if (!sim.script().strerrorTexts) {
        return nullptr;
    }
    switch (error) {
    case BLADERF_ERR_NODEV:
        return "No devices available";
    case BLADERF_ERR_UNEXPECTED:
        return "An unexpected error occurred";
    case BLADERF_ERR_IO:
        return "File or device I/O failure";
    case BLADERF_ERR_TIMEOUT:
        return "Operation timed out";
    default:
        return "Unknown error code";
    }
}
#endif

#if !defined(SIM_OMIT_bladerf_version)
void CALL_CONV bladerf_version(struct bladerf_version* version)
{
    Simulator& sim = simulator();
    sim.log(JournalLine("bladerf_version"));
    if (version != nullptr) {
        version->major = sim.script().versionMajor;
        version->minor = sim.script().versionMinor;
        version->patch = sim.script().versionPatch;
        version->describe = "sim";
    }
}
#endif

// ---- Triggers and reference clocks (BladeRfSimSync.cpp) ----

#if !defined(SIM_OMIT_bladerf_trigger_init)
int CALL_CONV bladerf_trigger_init(struct bladerf* dev, bladerf_channel ch, bladerf_trigger_signal signal,
                                   struct bladerf_trigger* trigger)
{
    const int result =
        validDevice(dev) && trigger != nullptr ? triggerInit(*dev, ch, signal, *trigger) : BLADERF_ERR_INVAL;
    simulator().log((JournalLine("bladerf_trigger_init") << ch << enumValue(signal)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_trigger_arm)
int CALL_CONV bladerf_trigger_arm(struct bladerf* dev, const struct bladerf_trigger* trigger, bool arm, uint64_t resv1,
                                  uint64_t resv2)
{
    const int result = validDevice(dev) && trigger != nullptr && resv1 == 0 && resv2 == 0
                           ? triggerArm(*dev, *trigger, arm)
                           : BLADERF_ERR_INVAL;
    JournalLine line("bladerf_trigger_arm");
    if (trigger != nullptr) {
        line << trigger->channel << enumValue(trigger->role) << enumValue(trigger->signal);
    }
    simulator().log((line << (arm ? 1 : 0)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_trigger_fire)
int CALL_CONV bladerf_trigger_fire(struct bladerf* dev, const struct bladerf_trigger* trigger)
{
    const int result = validDevice(dev) && trigger != nullptr ? triggerFire(*dev, *trigger) : BLADERF_ERR_INVAL;
    simulator().log(JournalLine("bladerf_trigger_fire").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_trigger_state)
int CALL_CONV bladerf_trigger_state(struct bladerf* dev, const struct bladerf_trigger* trigger, bool* is_armed,
                                    bool* has_fired, bool* fire_requested, uint64_t* resv1, uint64_t* resv2)
{
    int result = BLADERF_ERR_INVAL;
    if (validDevice(dev) && trigger != nullptr) {
        result = triggerState(*dev, *trigger, is_armed, has_fired, fire_requested);
        for (uint64_t* reserved : {resv1, resv2}) {
            if (reserved != nullptr) {
                *reserved = 0;
            }
        }
    }
    simulator().log(JournalLine("bladerf_trigger_state").result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_set_pll_enable)
int CALL_CONV bladerf_set_pll_enable(struct bladerf* dev, bool enable)
{
    const int result = validDevice(dev) ? setPllEnable(*dev, enable) : BLADERF_ERR_INVAL;
    simulator().log((JournalLine("bladerf_set_pll_enable") << (enable ? 1 : 0)).result(result));
    return result;
}

int CALL_CONV bladerf_get_pll_enable(struct bladerf* dev, bool* enabled)
{
    const int result = validDevice(dev) && enabled != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *enabled = dev->clock.pllEnabled;
    }
    return result;
}

int CALL_CONV bladerf_set_pll_refclk(struct bladerf* dev, uint64_t frequency)
{
    const int result = validDevice(dev) ? setPllReference(*dev, frequency) : BLADERF_ERR_INVAL;
    simulator().log((JournalLine("bladerf_set_pll_refclk") << std::uint64_t{frequency}).result(result));
    return result;
}

int CALL_CONV bladerf_get_pll_refclk(struct bladerf* dev, uint64_t* frequency)
{
    const int result = validDevice(dev) && frequency != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *frequency = dev->clock.pllReferenceHz;
    }
    return result;
}

int CALL_CONV bladerf_get_pll_refclk_range(struct bladerf* dev, const struct bladerf_range** range)
{
    const int result = validDevice(dev) && range != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *range = &kPllReferenceRange;
    }
    return result;
}

int CALL_CONV bladerf_get_pll_lock_state(struct bladerf* dev, bool* locked)
{
    const int result = validDevice(dev) && locked != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *locked = veltrano::sim::bladerf::pllLocked(*dev);
    }
    simulator().log((JournalLine("bladerf_get_pll_lock_state") << (result == 0 && *locked ? 1 : 0)).result(result));
    return result;
}
#endif

#if !defined(SIM_OMIT_bladerf_set_clock_select)
int CALL_CONV bladerf_set_clock_select(struct bladerf* dev, bladerf_clock_select sel)
{
    const int value = enumValue(sel);
    int result = validDevice(dev) && (value == CLOCK_SELECT_ONBOARD || value == CLOCK_SELECT_EXTERNAL)
                     ? bladeRf2Only(*dev)
                     : BLADERF_ERR_INVAL;
    if (result == 0) {
        dev->clock.externalSelected = value == CLOCK_SELECT_EXTERNAL;
    }
    simulator().log((JournalLine("bladerf_set_clock_select") << value).result(result));
    return result;
}

int CALL_CONV bladerf_get_clock_select(struct bladerf* dev, bladerf_clock_select* sel)
{
    const int result = validDevice(dev) && sel != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *sel = dev->clock.externalSelected ? CLOCK_SELECT_EXTERNAL : CLOCK_SELECT_ONBOARD;
    }
    return result;
}

int CALL_CONV bladerf_set_clock_output(struct bladerf* dev, bool enable)
{
    const int result = validDevice(dev) ? setClockOutput(*dev, enable) : BLADERF_ERR_INVAL;
    simulator().log((JournalLine("bladerf_set_clock_output") << (enable ? 1 : 0)).result(result));
    return result;
}

int CALL_CONV bladerf_get_clock_output(struct bladerf* dev, bool* state)
{
    const int result = validDevice(dev) && state != nullptr ? bladeRf2Only(*dev) : BLADERF_ERR_INVAL;
    if (result == 0) {
        *state = dev->clock.clockOutput;
    }
    return result;
}

int CALL_CONV bladerf_set_vctcxo_tamer_mode(struct bladerf* dev, bladerf_vctcxo_tamer_mode mode)
{
    const int result = validDevice(dev) ? setTamerMode(*dev, enumValue(mode)) : BLADERF_ERR_INVAL;
    simulator().log((JournalLine("bladerf_set_vctcxo_tamer_mode") << enumValue(mode)).result(result));
    return result;
}
#endif

} // extern "C"
