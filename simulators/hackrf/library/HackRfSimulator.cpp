// SPDX-License-Identifier: MIT
#include "hackrf/library/HackRfSimulator.h"

#include "common/SimScript.h"
#include "hackrf/library/VendorHeader.h"

#include <limits>

namespace veltrano::sim::hackrf {
namespace {

void appendNumberedBoards(Script& script, std::int64_t count, std::string_view prefix)
{
    for (std::int64_t index = 1; index <= count; ++index) {
        Board board;
        board.serial = std::string(prefix) + std::to_string(index);
        script.boards.push_back(std::move(board));
    }
}

std::int64_t parseCount(const ScriptLine& line, std::string_view text)
{
    const std::int64_t count = parseInteger(line, text);
    if (count < 0) {
        failBadArguments(line, "negative count");
    }
    return count;
}

// Free-running transfers carry whole 4-byte pattern words.
int parseTransferLength(const ScriptLine& line, std::string_view text)
{
    const std::int64_t length = parseInteger(line, text);
    if (length <= 0 || length % 4 != 0 || length > (64 << 20)) {
        failBadArguments(line, "not a positive multiple of 4 up to 64 MiB");
    }
    return static_cast<int>(length);
}

void applyLine(Script& script, const ScriptLine& line)
{
    const std::string_view directive = line.directive;
    if (directive == "init") {
        script.initResult = parseInt(line, requireArguments(line));
    } else if (directive == "board") {
        script.boards.push_back(Board{false, std::string(requireArguments(line))});
    } else if (directive == "board-null") {
        requireNoArguments(line);
        script.boards.push_back(Board{true, {}});
    } else if (directive == "board-empty") {
        requireNoArguments(line);
        script.boards.push_back(Board{false, {}});
    } else if (directive == "board-repeat") {
        const auto [length, character] = splitFirstWord(requireArguments(line));
        const std::int64_t repeat = parseCount(line, length);
        script.boards.push_back(
            Board{false, std::string(static_cast<std::size_t>(repeat), parseSingleCharacter(line, character))});
    } else if (directive == "boards") {
        const auto [count, prefix] = splitFirstWord(requireArguments(line));
        appendNumberedBoards(script, parseCount(line, count), prefix);
    } else if (directive == "boards-null") {
        const std::int64_t count = parseCount(line, requireArguments(line));
        for (std::int64_t index = 0; index < count; ++index) {
            script.boards.push_back(Board{true, {}});
        }
    } else if (directive == "list" || directive == "count") {
        script.count = parseInt(line, requireArguments(line));
    } else if (directive == "serial-array-null") {
        requireNoArguments(line);
        script.serialArrayNull = true;
    } else if (directive == "list-null") {
        requireNoArguments(line);
        script.listNull = true;
    } else if (script.opens.apply(line) || applyUnplugLine(script.unplug, line, HACKRF_ERROR_LIBUSB)) {
        // an open rule, or when the board vanishes
    } else if (directive == "close") {
        script.closeResult = parseInt(line, requireArguments(line));
    } else if (directive == "version") {
        script.version = std::string(requireArguments(line));
    } else if (directive == "version-result") {
        script.versionResult = parseInt(line, requireArguments(line));
    } else if (directive == "usb-api") {
        const std::int64_t version = parseInteger(line, requireArguments(line));
        if (version < 0 || version > std::numeric_limits<std::uint16_t>::max()) {
            failBadArguments(line, "not a 16-bit version");
        }
        script.usbApiVersion = static_cast<std::uint16_t>(version);
    } else if (directive == "operacakes") {
        script.operaCakes = OperaCakeFirmware::addressesFromText(std::string(requireArguments(line)));
    } else if (directive == "clock-in") {
        script.clockIn = parseInt(line, requireArguments(line)) != 0;
    } else if (directive == "clock-in-from") {
        const auto [board, source] = splitFirstWord(requireArguments(line));
        if (source.empty()) {
            failBadArguments(line, "expected <board serial> <source serial>");
        }
        script.clockInFrom[std::string(board)] = std::string(source);
    } else if (directive == "hw-sync") {
        if (requireArguments(line) != "ignored") {
            failBadArguments(line, "expected 'ignored'");
        }
        script.hwSyncIgnored = true;
    } else if (directive == "error-names") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.errorNames = false;
    } else if (directive == "fail") {
        // A libusb time-out reaches the client as libhackrf's libusb error.
        script.failures.push_back(parseFailLine(line, OldFailSpelling::resultThenCount, HACKRF_ERROR_LIBUSB));
    } else if (directive == "rx-free-run") {
        script.rxFreeRunBytes = parseTransferLength(line, requireArguments(line));
    } else if (directive == "rx-paced") {
        requireNoArguments(line);
        script.rxPaced = true;
    } else if (directive == "tx-free-run") {
        script.txStream.freeRunBytes = parseTransferLength(line, requireArguments(line));
    } else if (directive == "tx-record") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.txStream.recordSent = false;
    } else if (directive == "tx-flush") {
        const std::string_view argument = requireArguments(line);
        if (argument == "never") {
            script.txStream.flushResult.reset();
        } else {
            script.txStream.flushResult = parseInt(line, argument);
        }
    } else if (applySceneDirective(script.rxScene, line)) {
        // a carrier or the noise of the scene the receiver hears
    } else {
        failUnknownDirective(line);
    }
}

} // namespace

Script readScript()
{
    Script script;
    forEachScriptLine("VELTRANO_SIM_HACKRF_SCRIPT", [&script](const ScriptLine& line) { applyLine(script, line); });
    return script;
}

Simulator::Simulator() : script_(readScript()), journal_("VELTRANO_SIM_HACKRF_JOURNAL"), operaCakes_(script_.operaCakes)
{
}

int Simulator::scriptedResult(std::string_view function)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    auto counted = calls_.find(function);
    if (counted == calls_.end()) {
        counted = calls_.emplace(std::string(function), 0).first;
    }
    const std::uint64_t call = ++counted->second;
    const std::optional<FaultRule>& unplug = script_.unplug.atCall;
    if (unplug && !unpluggedAtCall_ && unplug->entryPoint == function && call >= unplug->calls.first) {
        unpluggedAtCall_ = true;
    }
    if (unpluggedAtCall_) {
        return unplug->result;
    }
    const FaultRule* rule = faultFor(script_.failures, function, call);
    return rule != nullptr ? rule->result : 0;
}

bool Simulator::unplugged() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return unpluggedLocked();
}

// A board unplugged at a call still lists and opens, as in every family's
// scripts: that rule is about the calls on a device already open.
bool Simulator::unpluggedLocked() const
{
    return script_.unplug.afterOpens && successfulOpens_ >= *script_.unplug.afterOpens;
}

int Simulator::decideOpen(const char* serial, bool& nullHandle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    nullHandle = false;
    if (unpluggedLocked()) {
        return HACKRF_ERROR_NOT_FOUND;
    }
    int result = HACKRF_ERROR_NOT_FOUND;
    if (const OpenRule* rule = script_.opens.find(serial)) {
        result = rule->result;
        nullHandle = rule->nullDevice;
    } else if (serial == nullptr) {
        result = script_.boards.empty() ? HACKRF_ERROR_NOT_FOUND : 0;
    } else {
        for (const Board& board : script_.boards) {
            if (!board.nullSerial && board.serial == serial) {
                result = 0;
                break;
            }
        }
    }
    if (result == 0) {
        ++successfulOpens_;
    }
    return result;
}

void Simulator::setCurrentStream(const std::shared_ptr<TransferStream>& stream)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    currentStream_ = stream;
}

void Simulator::forgetStream(const TransferStream* stream)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (currentStream_.get() == stream) {
        currentStream_.reset();
    }
}

std::shared_ptr<TransferStream> Simulator::currentStream() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return currentStream_;
}

void Simulator::recordSent(const std::uint8_t* bytes, std::size_t count)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    sent_.record(bytes, count);
}

std::size_t Simulator::takeSent(std::uint8_t* out, std::size_t capacity)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_.take(out, capacity);
}

std::size_t Simulator::untakenSentBytes() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_.keptBytes();
}

void Simulator::setClockOut(const std::string& serial, bool on)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    clockOut_[serial] = on;
}

bool Simulator::clockInPresent(const std::string& serial) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (script_.clockIn) {
        return true;
    }
    const auto cable = script_.clockInFrom.find(serial);
    if (cable == script_.clockInFrom.end()) {
        return false;
    }
    const auto source = clockOut_.find(cable->second);
    return source != clockOut_.end() && source->second;
}

void Simulator::reloadScript()
{
    Script script = readScript();
    const std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
    successfulOpens_ = 0;
    calls_.clear();
    unpluggedAtCall_ = false;
    operaCakes_ = OperaCakeFirmware(script_.operaCakes);
    clockOut_.clear();
}

Simulator& simulator()
{
    static Simulator instance;
    return instance;
}

} // namespace veltrano::sim::hackrf
