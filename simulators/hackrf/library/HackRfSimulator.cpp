// SPDX-License-Identifier: MIT
#include "hackrf/library/HackRfSimulator.h"

#include "common/SimScript.h"

#include <algorithm>
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
    } else if (directive == "count") {
        script.count = parseInt(line, requireArguments(line));
    } else if (directive == "serial-array-null") {
        requireNoArguments(line);
        script.serialArrayNull = true;
    } else if (directive == "list-null") {
        requireNoArguments(line);
        script.listNull = true;
    } else if (directive == "open") {
        const auto [result, serial] = splitFirstWord(requireArguments(line));
        script.openRules.insert_or_assign(std::string(serial), OpenRule{parseInt(line, result), false});
    } else if (directive == "open-any") {
        script.openAnyRule = OpenRule{parseInt(line, requireArguments(line)), false};
    } else if (directive == "open-null-handle") {
        script.openRules.insert_or_assign(std::string(requireArguments(line)), OpenRule{0, true});
    } else if (directive == "open-any-null-handle") {
        requireNoArguments(line);
        script.openAnyRule = OpenRule{0, true};
    } else if (directive == "unplug-after-opens") {
        script.unplugAfterOpens = parseCount(line, requireArguments(line));
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
    } else if (directive == "error-names") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.errorNames = false;
    } else if (directive == "fail") {
        const std::vector<std::string_view> words = splitWords(requireArguments(line));
        if (words.size() < 2 || words.size() > 3) {
            failBadArguments(line, "expected <entry point> <result> [<calls>]");
        }
        FailRule rule{parseInt(line, words[1]), std::nullopt};
        if (words.size() == 3) {
            rule.remaining = parseCount(line, words[2]);
        }
        script.failures.insert_or_assign(std::string(words[0]), rule);
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

Simulator::Simulator()
    : script_(readScript()), journal_("VELTRANO_SIM_HACKRF_JOURNAL"), failures_(script_.failures),
      operaCakes_(script_.operaCakes)
{
}

int Simulator::scriptedResult(std::string_view function)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = failures_.find(function);
    if (found == failures_.end()) {
        return 0;
    }
    FailRule& rule = found->second;
    if (rule.remaining) {
        if (*rule.remaining == 0) {
            return 0;
        }
        --*rule.remaining;
    }
    return rule.result;
}

bool Simulator::unplugged() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return script_.unplugAfterOpens && successfulOpens_ >= *script_.unplugAfterOpens;
}

int Simulator::decideOpen(const char* serial, bool& nullHandle)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    nullHandle = false;
    if (script_.unplugAfterOpens && successfulOpens_ >= *script_.unplugAfterOpens) {
        return kNotFound;
    }
    int result = kNotFound;
    const OpenRule* rule = nullptr;
    if (serial == nullptr) {
        rule = script_.openAnyRule ? &*script_.openAnyRule : nullptr;
    } else if (const auto found = script_.openRules.find(std::string_view(serial)); found != script_.openRules.end()) {
        rule = &found->second;
    }
    if (rule != nullptr) {
        result = rule->result;
        nullHandle = rule->nullHandle;
    } else if (serial == nullptr) {
        result = script_.boards.empty() ? kNotFound : 0;
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
    sent_.insert(sent_.end(), bytes, bytes + count);
}

std::size_t Simulator::takeSent(std::uint8_t* out, std::size_t capacity)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = std::min(capacity, sent_.size());
    std::copy_n(sent_.begin(), count, out);
    sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::size_t Simulator::untakenSentBytes() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_.size();
}

void Simulator::reloadScript()
{
    Script script = readScript();
    const std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
    failures_ = script_.failures;
    successfulOpens_ = 0;
    operaCakes_ = OperaCakeFirmware(script_.operaCakes);
}

Simulator& simulator()
{
    static Simulator instance;
    return instance;
}

} // namespace veltrano::sim::hackrf
