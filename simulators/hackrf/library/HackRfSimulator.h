// SPDX-License-Identifier: MIT
#pragma once

// The per-process state behind the simulated libhackrf: the parsed script, the
// journal, and the few counters the script's directives refer to. Devices are
// not tracked here: each open hands out its own heap object, which hackrf_close
// frees, so a device layer that never closes is caught by LeakSanitizer.

#include "common/OperaCakeFirmware.h"
#include "common/SimJournal.h"
#include "common/SimScene.h"
#include "common/ScriptRules.h"
#include "hackrf/library/TransferStream.h"
#include "hackrf/model/HackRfSyncWire.h"
#include "hackrf/model/HackRfTransmitRecord.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::sim::hackrf {

struct Board {
    bool nullSerial = false;
    std::string serial;
};

struct Script {
    int initResult = 0;
    std::vector<Board> boards;
    std::optional<int> count; // "list <count>": the device count the list reports
    bool serialArrayNull = false;
    bool listNull = false;
    OpenRules opens;
    UnplugRule unplug;
    int closeResult = 0;
    std::string version = "sim-2026.01.1";
    int versionResult = 0;
    std::uint16_t usbApiVersion = 0x0107;
    bool clockIn = false; // what hackrf_get_clkin_status reports on every board
    // "clock-in-from <board> <source>": the board's CLKIN is cabled to the
    // source board's CLKOUT, a reference while that clock out is on.
    std::map<std::string, std::string, std::less<>> clockInFrom;
    // "hw-sync ignored": the firmware takes sync mode but streams at once.
    bool hwSyncIgnored = false;
    std::vector<std::uint8_t> operaCakes; // "operacakes 0,1": Opera Cakes stacked at those addresses
    bool errorNames = true;
    std::vector<FaultRule> failures;
    int rxFreeRunBytes = 0;
    bool rxPaced = false; // receive and sweep transfers come at the sample rate
    Scene rxScene;        // what free-running receive and sweep transfers carry, when not empty
    StreamSettings txStream;
};

// Reads VELTRANO_SIM_HACKRF_SCRIPT; aborts on an unknown directive.
Script readScript();

class Simulator {
public:
    Simulator();

    const Script& script() const { return script_; }
    Journal& journal() { return journal_; }
    void log(const JournalLine& line) { journal_.write(line.text()); }

    // The boards as the host currently sees them: none once the script's unplug
    // point (an open count or a call) has been passed.
    bool unplugged() const;
    // Decides the result of an open; on success the caller hands out a device.
    // nullHandle is set when the script wants success without a device.
    int decideOpen(const char* serial, bool& nullHandle);
    // Reads the script again and forgets the opens and calls counted so far.
    void reloadScript();

    // The result this call of an entry point returns: the unplug's once the
    // board has gone, else a scripted failure, else success.
    int scriptedResult(std::string_view function);

    // The stream the control entry points drive: the one started last.
    void setCurrentStream(const std::shared_ptr<TransferStream>& stream);
    void forgetStream(const TransferStream* stream);
    std::shared_ptr<TransferStream> currentStream() const;

    // Bytes transmit streams sent, kept until a test takes them.
    void recordSent(const std::uint8_t* bytes, std::size_t count);
    std::size_t takeSent(std::uint8_t* out, std::size_t capacity);
    std::size_t untakenSentBytes() const;

    // The boards' shared sync wire (see HackRfSyncWire.h).
    SyncWire& syncWire() { return syncWire_; }
    // The board's clock out, as hackrf_set_clkout_enable left it.
    void setClockOut(const std::string& serial, bool on);
    // Whether a reference comes in on the board's CLKIN now.
    bool clockInPresent(const std::string& serial) const;

    // Runs f on the stacked Opera Cakes, as the board's firmware keeps them, under the lock.
    template <typename F>
    auto withOperaCakes(F f)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return f(operaCakes_);
    }

private:
    bool unpluggedLocked() const; // under mutex_

    Script script_;
    Journal journal_;
    mutable std::mutex mutex_;
    std::uint64_t successfulOpens_ = 0;
    // Calls of each entry point with scripted results, numbered from 1.
    std::map<std::string, std::uint64_t, std::less<>> calls_;
    bool unpluggedAtCall_ = false;
    std::shared_ptr<TransferStream> currentStream_;
    // Kept in full: a free-running stream pauses while too much is untaken.
    TransmitRecord sent_{SIZE_MAX};
    OperaCakeFirmware operaCakes_;
    SyncWire syncWire_;
    std::map<std::string, bool, std::less<>> clockOut_;
};

// The process's simulator, created on first use (thread-safe).
Simulator& simulator();

} // namespace veltrano::sim::hackrf
