// SPDX-License-Identifier: MIT
#pragma once

// The per-process state behind the simulated libbladeRF: the parsed script and
// the journal. Devices are not tracked here: each open hands out its own heap
// object, which bladerf_close frees, so a device layer that never closes is
// caught by LeakSanitizer.

#include "bladerf/model/BladeRfKind.h"
#include "bladerf/model/BladeRfSyncState.h"
#include "common/ScriptRules.h"
#include "common/SimJournal.h"
#include "common/SimScene.h"
#include "common/SimPlatform.h"

#include <libbladeRF.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::sim::bladerf {

struct Board {
    Board();
    // Ranges, gain chains and switches as the kind has them.
    void applyModel(BladeRfKind kind);

    bladerf_devinfo info{}; // what bladerf_get_device_list reports
    bool nameNull = false;  // bladerf_get_board_name returns null
    std::string name;       // otherwise this
    std::size_t rxChannels = 2;
    std::size_t txChannels = 2;
    bladerf_range sampleRates{}; // both directions
    int sampleRatesResult = 0;
    bladerf_range rxFrequencies{};
    bladerf_range txFrequencies{};
    int frequenciesResult = 0;
    GainChain rxGain;
    GainChain txGain;
    bladerf_range bandwidths{};
    bool biasTee = false; // whether the board has a bias-tee switch per direction
    // What the board says about itself, and its AD9361's sensors (a
    // bladeRF1 has no AD9361: its library refuses them).
    std::string firmwareVersion = "2.4.0";
    std::string fpgaVersion = "0.15.3";
    bladerf_fpga_size fpgaSize = BLADERF_FPGA_UNKNOWN;
    bool fpgaConfigured = true;
    bool ad9361 = false;
    float rficTemperature = 42.25F;
    int rssiDb = -57;
    // What its reference input is wired to: a clock of this frequency, or
    // the clock out of the board with this serial.
    std::optional<std::uint64_t> referenceInHz;
    std::string referenceFromSerial;
    // The FPGA has no trigger block: arming answers success and changes nothing.
    bool triggerArmIgnored = false;

    // The serial as the library's own identifier matching reads the field: up to
    // the first NUL, or the whole field when there is none.
    std::string_view serialText() const;
};

// The entry points whose results a script can change, call by call.
enum class Entry {
    setFrequency,
    scheduleRetune,
    getQuickTune,
    getTimestamp,
    setSampleRate,
    setBandwidth,
    setGainMode,
    setGain,
    syncConfig,
    enableModule,
    syncRx,
    syncTx,
    setGainStage,
    setBiasTee,
    count
};

// The exported name of an entry point, e.g. "bladerf_sync_rx".
std::string_view entryName(Entry entry);

// A scripted receive read: fewer samples than asked, and/or an overrun flag.
struct ReceiveRule {
    CallRange calls;
    std::optional<unsigned> actualCount;
    bool overrun = false;
};

struct Script {
    std::vector<Board> boards;
    std::optional<int> listResult;
    bool listNull = false;
    OpenRules openRules;
    bool strerrorTexts = true;
    std::uint16_t versionMajor = 2;
    std::uint16_t versionMinor = 4;
    std::uint16_t versionPatch = 1;
    std::vector<FaultRule> faults;
    // The board vanishes at a call (from it on, every call of every entry
    // point with scripted results fails with the rule's result), or after
    // some successful opens (every later open fails and the list is empty).
    UnplugRule unplug;
    std::vector<ReceiveRule> receiveRules;
    std::optional<bladerf_timestamp> fixedTimestamp; // what bladerf_get_timestamp reports
    unsigned receivePaceMicroseconds = 0;            // how long every bladerf_sync_rx takes
    bool receivePattern = true;                      // whether bladerf_sync_rx writes samples at all
    bool receivePaced = false;    // bladerf_sync_rx hands out samples at the sample rate in wall-clock time
    bool metadataRefused = false; // bladerf_sync_config refuses the formats with metadata
    // Jumps in every receive stream, in the order the stream meets them: at
    // device time `at` the samples go on from `resume`. Forward, samples
    // dropped as libbladeRF drops them when its buffers are full; back, a
    // buffer the library hands out after a later one.
    struct Gap {
        bladerf_timestamp at;
        bladerf_timestamp resume;
    };
    std::vector<Gap> rxGaps;
    Scene rxScene; // what bladerf_sync_rx delivers in place of its pattern, when not empty
};

// Reads VELTRANO_SIM_BLADERF_SCRIPT; aborts on an unknown directive.
Script readScript();

class Simulator {
public:
    Simulator();

    const Script& script() const { return script_; }
    void log(const JournalLine& line) { journal_.write(line.text()); }
    Journal& journalFile() { return journal_; }

    // Counts one call of the entry point and returns its number.
    std::uint64_t countCall(Entry entry) { return calls_.count(static_cast<std::size_t>(entry)); }
    // The scripted failure of this call: the unplug rule once the board has
    // vanished at a call (this call may be the one), else the call's own
    // rule (a later script line wins), else null.
    const FaultRule* failureOf(Entry entry, std::uint64_t call);
    // Whether the board has gone after the script's number of successful opens.
    bool unpluggedByOpens() const;
    void countSuccessfulOpen() { successfulOpens_.fetch_add(1, std::memory_order_relaxed); }
    // The scripted shape of this bladerf_sync_rx call, if any.
    const ReceiveRule* receiveRuleFor(std::uint64_t call) const;
    // Where bladerf_sync_tx appends the samples it receives, if anywhere.
    const std::optional<NativePath>& transmitCapture() const { return transmitCapture_; }

    // The board an identifier names under the default rules, or null: a null
    // identifier is the first board, "*:serial=S" the board with serial S.
    const Board* findBoard(const char* identifier) const;
    // The board a scripted successful open attaches to: the named one if any,
    // else the first, else a board with every default.
    const Board& boardForScriptedOpen(const char* identifier) const;
    // Reads the script again and numbers calls from 1 again, so that the new
    // script's call rules mean what they say.
    void reloadScript();

    // The trigger line and the clock outs every board of the process shares.
    TriggerLine& triggerLine() { return triggerLine_; }
    ClockOutputs& clockOutputs() { return clockOutputs_; }

private:
    TriggerLine triggerLine_;
    ClockOutputs clockOutputs_;
    Script script_;
    Board defaultBoard_;
    Journal journal_;
    std::optional<NativePath> transmitCapture_;
    CallCounter calls_;
    // Relaxed, as the call counts: they must not order the caller's threads.
    std::atomic<bool> unplugged_{false};
    std::atomic<std::uint64_t> successfulOpens_{0};
};

// The process's simulator, created on first use (thread-safe).
Simulator& simulator();

} // namespace veltrano::sim::bladerf
