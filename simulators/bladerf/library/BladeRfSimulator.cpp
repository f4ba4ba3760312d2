// SPDX-License-Identifier: MIT
#include "bladerf/library/BladeRfSimulator.h"

#include "common/SimScript.h"

#include <array>
#include <cstring>
#include <limits>

namespace veltrano::sim::bladerf {
namespace {

constexpr std::string_view kSerialIdentifierPrefix = "*:serial=";

// Text into a fixed field: truncated to leave room for the NUL, rest zeroed.
template <std::size_t Size>
void setField(char (&field)[Size], std::string_view text)
{
    const std::size_t copied = text.size() < Size - 1 ? text.size() : Size - 1;
    std::memset(field, 0, Size);
    std::memcpy(field, text.data(), copied);
}

// Every byte of a fixed field, no terminator: what a careless library might hand over.
template <std::size_t Size>
void fillField(char (&field)[Size], char character)
{
    std::memset(field, character, Size);
}

bladerf_range parseRange(const ScriptLine& line, std::string_view text)
{
    const auto fields = splitFields(text);
    if (fields.size() != 4) {
        failBadArguments(line, "a range is min,max,step,scale");
    }
    return bladerf_range{parseInteger(line, fields[0]), parseInteger(line, fields[1]), parseInteger(line, fields[2]),
                         parseFloat(line, fields[3])};
}

std::size_t parseChannelCount(const ScriptLine& line, std::string_view text)
{
    const std::int64_t count = parseInteger(line, text);
    if (count < 0) {
        failBadArguments(line, "negative channel count");
    }
    return static_cast<std::size_t>(count);
}

Board parseBoard(const ScriptLine& line)
{
    Board board;
    bool txFrequenciesGiven = false;
    for (const std::string_view word : splitWords(line.arguments)) {
        const auto equals = word.find('=');
        if (equals == std::string_view::npos) {
            failBadArguments(line, "expected key=value");
        }
        const std::string_view key = word.substr(0, equals);
        const std::string_view value = word.substr(equals + 1);
        if (key == "serial") {
            setField(board.info.serial, value);
        } else if (key == "serial-fill") {
            fillField(board.info.serial, parseSingleCharacter(line, value));
        } else if (key == "product") {
            setField(board.info.product, value);
        } else if (key == "product-fill") {
            fillField(board.info.product, parseSingleCharacter(line, value));
        } else if (key == "manufacturer") {
            setField(board.info.manufacturer, value);
        } else if (key == "name") {
            board.nameNull = value == "-null-";
            board.name = value == "-empty-" || board.nameNull ? std::string() : std::string(value);
        } else if (key == "rx") {
            board.rxChannels = parseChannelCount(line, value);
        } else if (key == "tx") {
            board.txChannels = parseChannelCount(line, value);
        } else if (key == "rate") {
            board.sampleRates = parseRange(line, value);
        } else if (key == "rate-result") {
            board.sampleRatesResult = parseInt(line, value);
        } else if (key == "freq") {
            board.rxFrequencies = parseRange(line, value);
        } else if (key == "tx-freq") {
            board.txFrequencies = parseRange(line, value);
            txFrequenciesGiven = true;
        } else if (key == "model") {
            if (value != "bladerf1" && value != "bladerf2") {
                failBadArguments(line, "model is bladerf1 or bladerf2");
            }
            board.applyModel(value == "bladerf1" ? BladeRfKind::x40 : BladeRfKind::micro);
        } else if (key == "ref-in") {
            board.referenceInHz = static_cast<std::uint64_t>(parseInteger(line, value));
        } else if (key == "trigger-arm-ignored") {
            board.triggerArmIgnored = parseInt(line, value) != 0;
        } else if (key == "ref-from") {
            board.referenceFromSerial = std::string(value);
        } else if (key == "bias-tee") {
            board.biasTee = parseInt(line, value) != 0;
        } else if (key == "freq-result") {
            board.frequenciesResult = parseInt(line, value);
        } else {
            failBadArguments(line, "unknown board key");
        }
    }
    if (!txFrequenciesGiven) {
        board.txFrequencies = board.rxFrequencies;
    }
    return board;
}

std::uint16_t parseVersionPart(const ScriptLine& line, std::string_view text)
{
    const std::int64_t value = parseInteger(line, text);
    if (value < 0 || value > std::numeric_limits<std::uint16_t>::max()) {
        failBadArguments(line, "version parts are 16-bit");
    }
    return static_cast<std::uint16_t>(value);
}

constexpr std::array<std::string_view, static_cast<std::size_t>(Entry::count)> kEntryNames{
    "bladerf_set_frequency",   "bladerf_schedule_retune", "bladerf_get_quick_tune", "bladerf_get_timestamp",
    "bladerf_set_sample_rate", "bladerf_set_bandwidth",   "bladerf_set_gain_mode",  "bladerf_set_gain",
    "bladerf_sync_config",     "bladerf_enable_module",   "bladerf_sync_rx",        "bladerf_sync_tx",
    "bladerf_set_gain_stage",  "bladerf_set_bias_tee"};

Entry parseEntry(const ScriptLine& line, std::string_view text)
{
    for (std::size_t index = 0; index < kEntryNames.size(); ++index) {
        if (kEntryNames[index] == text) {
            return static_cast<Entry>(index);
        }
    }
    failBadArguments(line, "not an entry point with scripted results");
}

FaultRule parseFault(const ScriptLine& line)
{
    FaultRule fault = parseFailLine(line, OldFailSpelling::callThenResult, BLADERF_ERR_TIMEOUT);
    parseEntry(line, fault.entryPoint); // only the entry points with scripted results
    return fault;
}

ReceiveRule parseReceiveRule(const ScriptLine& line)
{
    const auto words = splitWords(requireArguments(line));
    if (words.size() < 2) {
        failBadArguments(line, "expected <call>[+] [actual=<n>] [overrun]");
    }
    ReceiveRule rule;
    rule.calls = parseCallRange(line, words[0]);
    for (std::size_t index = 1; index < words.size(); ++index) {
        const std::string_view word = words[index];
        if (word == "overrun") {
            rule.overrun = true;
        } else if (word.substr(0, 7) == "actual=") {
            const std::int64_t actual = parseInteger(line, word.substr(7));
            if (actual < 0 || actual > std::numeric_limits<unsigned>::max()) {
                failBadArguments(line, "actual count out of range");
            }
            rule.actualCount = static_cast<unsigned>(actual);
        } else {
            failBadArguments(line, "expected actual=<n> or overrun");
        }
    }
    return rule;
}

std::uint64_t parseUnsigned(const ScriptLine& line, std::string_view text)
{
    const std::int64_t value = parseInteger(line, text);
    if (value < 0) {
        failBadArguments(line, "negative value");
    }
    return static_cast<std::uint64_t>(value);
}

void applyLine(Script& script, const ScriptLine& line)
{
    const std::string_view directive = line.directive;
    if (directive == "board") {
        script.boards.push_back(parseBoard(line));
    } else if (directive == "boards") {
        const auto [countText, prefix] = splitFirstWord(requireArguments(line));
        const std::int64_t count = parseInteger(line, countText);
        if (count < 0) {
            failBadArguments(line, "negative count");
        }
        for (std::int64_t index = 1; index <= count; ++index) {
            Board board;
            setField(board.info.serial, std::string(prefix) + std::to_string(index));
            setField(board.info.product, "bladeRF 2.0");
            script.boards.push_back(board);
        }
    } else if (directive == "list") {
        script.listResult = parseInt(line, requireArguments(line));
    } else if (directive == "list-null") {
        requireNoArguments(line);
        script.listNull = true;
    } else if (script.openRules.apply(line)) {
        // what an open of an identifier, or of any board, does instead
    } else if (directive == "strerror") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.strerrorTexts = false;
    } else if (directive == "version") {
        const auto parts = splitWords(requireArguments(line));
        if (parts.size() != 3) {
            failBadArguments(line, "expected <major> <minor> <patch>");
        }
        script.versionMajor = parseVersionPart(line, parts[0]);
        script.versionMinor = parseVersionPart(line, parts[1]);
        script.versionPatch = parseVersionPart(line, parts[2]);
    } else if (directive == "fail") {
        script.faults.push_back(parseFault(line));
    } else if (applyUnplugLine(script.unplug, line, BLADERF_ERR_TIMEOUT)) {
        if (script.unplug.atCall) {
            parseEntry(line, script.unplug.atCall->entryPoint);
        }
    } else if (directive == "sync-rx") {
        script.receiveRules.push_back(parseReceiveRule(line));
    } else if (directive == "get-timestamp") {
        script.fixedTimestamp = parseUnsigned(line, requireArguments(line));
    } else if (directive == "rx-pace-us") {
        const std::uint64_t pace = parseUnsigned(line, requireArguments(line));
        if (pace > 10'000'000) {
            failBadArguments(line, "at most ten seconds");
        }
        script.receivePaceMicroseconds = static_cast<unsigned>(pace);
    } else if (directive == "rx-paced") {
        requireNoArguments(line);
        script.receivePaced = true;
    } else if (directive == "rx-gap") {
        const auto words = splitWords(requireArguments(line));
        if (words.size() != 2) {
            failBadArguments(line, "expected <timestamp> <lost samples>");
        }
        const std::uint64_t at = parseUnsigned(line, words[0]);
        script.rxGaps.push_back({at, at + parseUnsigned(line, words[1])});
    } else if (directive == "rx-jump") {
        const auto words = splitWords(requireArguments(line));
        if (words.size() != 2) {
            failBadArguments(line, "expected <timestamp> <resumed timestamp>");
        }
        script.rxGaps.push_back({parseUnsigned(line, words[0]), parseUnsigned(line, words[1])});
    } else if (directive == "metadata") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.metadataRefused = true;
    } else if (directive == "rx-pattern") {
        if (requireArguments(line) != "off") {
            failBadArguments(line, "expected 'off'");
        }
        script.receivePattern = false;
    } else if (applySceneDirective(script.rxScene, line)) {
        // a carrier or the noise of the scene the receiver hears
    } else {
        failUnknownDirective(line);
    }
}

} // namespace

Board::Board()
{
    info.backend = BLADERF_BACKEND_LIBUSB;
    setField(info.manufacturer, "Nuand");
    applyModel(BladeRfKind::micro);
}

void Board::applyModel(BladeRfKind kind)
{
    const BladeRfDescription& description = describe(kind);
    name = description.boardName;
    rxGain = description.rxGain;
    txGain = description.txGain;
    bandwidths = description.bandwidths;
    sampleRates = description.sampleRates;
    rxFrequencies = description.frequencies;
    txFrequencies = description.frequencies;
    biasTee = description.biasTee;
    fpgaSize = description.fpgaSize;
    ad9361 = description.ad9361;
}

std::string_view Board::serialText() const
{
    const void* end = std::memchr(info.serial, '\0', sizeof info.serial);
    const std::size_t length =
        end == nullptr ? sizeof info.serial : static_cast<std::size_t>(static_cast<const char*>(end) - info.serial);
    return std::string_view(info.serial, length);
}

Script readScript()
{
    Script script;
    forEachScriptLine("VELTRANO_SIM_BLADERF_SCRIPT", [&script](const ScriptLine& line) { applyLine(script, line); });
    return script;
}

std::string_view entryName(Entry entry)
{
    return kEntryNames[static_cast<std::size_t>(entry)];
}

Simulator::Simulator()
    : script_(readScript()), journal_("VELTRANO_SIM_BLADERF_JOURNAL"),
      transmitCapture_(environmentPath("VELTRANO_SIM_BLADERF_TX_CAPTURE")),
      calls_(std::vector<std::string_view>(kEntryNames.begin(), kEntryNames.end()))
{
}

void Simulator::reloadScript()
{
    script_ = readScript();
    calls_.restart();
    unplugged_.store(false, std::memory_order_relaxed);
    successfulOpens_.store(0, std::memory_order_relaxed);
}

const FaultRule* Simulator::failureOf(Entry entry, std::uint64_t call)
{
    const std::string_view name = entryName(entry);
    if (const auto& unplug = script_.unplug.atCall) {
        if (!unplugged_.load(std::memory_order_relaxed) && name == unplug->entryPoint && call >= unplug->calls.first) {
            unplugged_.store(true, std::memory_order_relaxed);
        }
        if (unplugged_.load(std::memory_order_relaxed)) {
            return &*unplug;
        }
    }
    return veltrano::sim::faultFor(script_.faults, name, call);
}

bool Simulator::unpluggedByOpens() const
{
    const auto& opens = script_.unplug.afterOpens;
    return opens && successfulOpens_.load(std::memory_order_relaxed) >= *opens;
}

const ReceiveRule* Simulator::receiveRuleFor(std::uint64_t call) const
{
    for (auto rule = script_.receiveRules.rbegin(); rule != script_.receiveRules.rend(); ++rule) {
        if (rule->calls.contains(call)) {
            return &*rule;
        }
    }
    return nullptr;
}

const Board* Simulator::findBoard(const char* identifier) const
{
    if (identifier == nullptr) {
        return script_.boards.empty() ? nullptr : &script_.boards.front();
    }
    const std::string_view text(identifier);
    if (text.substr(0, kSerialIdentifierPrefix.size()) != kSerialIdentifierPrefix) {
        return nullptr;
    }
    const std::string_view serial = text.substr(kSerialIdentifierPrefix.size());
    for (const Board& board : script_.boards) {
        if (board.serialText() == serial) {
            return &board;
        }
    }
    return nullptr;
}

const Board& Simulator::boardForScriptedOpen(const char* identifier) const
{
    if (const Board* board = findBoard(identifier)) {
        return *board;
    }
    return script_.boards.empty() ? defaultBoard_ : script_.boards.front();
}

Simulator& simulator()
{
    static Simulator instance;
    return instance;
}

} // namespace veltrano::sim::bladerf
