// SPDX-License-Identifier: MIT
#include "common/ScriptRules.h"

namespace veltrano::sim {
namespace {

std::uint64_t parseCallNumber(const ScriptLine& line, std::string_view text)
{
    const std::int64_t call = parseInteger(line, text);
    if (call < 1) {
        failBadArguments(line, "calls are numbered from 1");
    }
    return static_cast<std::uint64_t>(call);
}

} // namespace

CallRange parseCallRange(const ScriptLine& line, std::string_view text)
{
    CallRange calls;
    if (!text.empty() && text.back() == '+') {
        calls.first = parseCallNumber(line, text.substr(0, text.size() - 1));
        return calls;
    }
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        calls.first = parseCallNumber(line, text);
        calls.last = calls.first;
        return calls;
    }
    calls.first = parseCallNumber(line, text.substr(0, dash));
    calls.last = parseCallNumber(line, text.substr(dash + 1));
    if (*calls.last < calls.first) {
        failBadArguments(line, "the last call comes before the first");
    }
    return calls;
}

namespace {

void parseOutcome(FaultRule& rule, const ScriptLine& line, std::string_view text, int timeoutResult)
{
    rule.timeout = text == "timeout";
    rule.result = rule.timeout ? timeoutResult : parseInt(line, text);
}

bool isOldCallRange(std::string_view text)
{
    return !text.empty() && (text.back() == '+' || text.find_first_not_of("0123456789") == std::string_view::npos);
}

FaultRule parseOldUnplugAt(const ScriptLine& line, const std::vector<std::string_view>& words, int timeoutResult)
{
    if (words.size() != 3 || words[1].empty() || words[1].back() == '+') {
        failBadArguments(line, "expected at <entry point> <call> <result|timeout>");
    }
    FaultRule rule;
    rule.entryPoint = std::string(words[0]);
    rule.calls.first = parseCallNumber(line, words[1]);
    parseOutcome(rule, line, words[2], timeoutResult);
    return rule;
}

} // namespace

FaultRule parseFailLine(const ScriptLine& line, OldFailSpelling old, int timeoutResult)
{
    const std::vector<std::string_view> words = splitWords(requireArguments(line));
    FaultRule rule;
    if (words.size() == 2 || (words.size() == 4 && words[2] == "calls")) {
        rule.entryPoint = std::string(words[0]);
        parseOutcome(rule, line, words[1], timeoutResult);
        if (words.size() == 4) {
            rule.calls = parseCallRange(line, words[3]);
        }
        return rule;
    }
    if (words.size() != 3) {
        failBadArguments(line, "expected <entry point> <result|timeout> [calls <first>[-<last>|+]]");
    }
    rule.entryPoint = std::string(words[0]);
    if (old == OldFailSpelling::resultThenCount) {
        parseOutcome(rule, line, words[1], timeoutResult);
        const std::int64_t count = parseInteger(line, words[2]);
        if (count < 0) {
            failBadArguments(line, "negative count");
        }
        // No call is numbered 0: a count of 0 is a rule that never holds.
        rule.calls = count == 0 ? CallRange{0, 0} : CallRange{1, static_cast<std::uint64_t>(count)};
        return rule;
    }
    if (!isOldCallRange(words[1])) {
        failBadArguments(line, "expected <entry point> <call>[+] <result|timeout>");
    }
    rule.calls = parseCallRange(line, words[1]);
    parseOutcome(rule, line, words[2], timeoutResult);
    return rule;
}

const FaultRule* faultFor(const std::vector<FaultRule>& rules, std::string_view entryPoint, std::uint64_t call)
{
    for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
        if (rule->entryPoint == entryPoint && rule->calls.contains(call)) {
            return &*rule;
        }
    }
    return nullptr;
}

bool applyUnplugLine(UnplugRule& rule, const ScriptLine& line, int timeoutResult)
{
    if (line.directive == "unplug-after-opens") {
        const std::int64_t opens = parseInteger(line, requireArguments(line));
        if (opens < 0) {
            failBadArguments(line, "negative count");
        }
        rule.afterOpens = static_cast<std::uint64_t>(opens);
        return true;
    }
    if (line.directive != "unplug") {
        return false;
    }
    std::vector<std::string_view> words = splitWords(requireArguments(line));
    if (!words.empty() && words[0] == "after-opens") {
        if (words.size() != 2) {
            failBadArguments(line, "expected after-opens <count>");
        }
        const std::int64_t opens = parseInteger(line, words[1]);
        if (opens < 0) {
            failBadArguments(line, "negative count");
        }
        rule.afterOpens = static_cast<std::uint64_t>(opens);
        return true;
    }
    if (!words.empty() && words[0] == "at") {
        words.erase(words.begin());
    }
    rule.atCall = parseOldUnplugAt(line, words, timeoutResult);
    return true;
}

bool OpenRules::apply(const ScriptLine& line)
{
    const std::string_view directive = line.directive;
    if (directive == "open") {
        const auto [result, identifier] = splitFirstWord(requireArguments(line));
        byIdentifier_.insert_or_assign(std::string(identifier), OpenRule{parseInt(line, result), false});
    } else if (directive == "open-any") {
        any_ = OpenRule{parseInt(line, requireArguments(line)), false};
    } else if (directive == "open-null" || directive == "open-null-handle" || directive == "open-null-device") {
        byIdentifier_.insert_or_assign(std::string(requireArguments(line)), OpenRule{0, true});
    } else if (directive == "open-any-null" || directive == "open-any-null-handle" ||
               directive == "open-any-null-device") {
        requireNoArguments(line);
        any_ = OpenRule{0, true};
    } else {
        return false;
    }
    return true;
}

const OpenRule* OpenRules::find(const char* identifier) const
{
    if (identifier == nullptr) {
        return any_ ? &*any_ : nullptr;
    }
    const auto found = byIdentifier_.find(std::string_view(identifier));
    return found == byIdentifier_.end() ? nullptr : &found->second;
}

CallCounter::CallCounter(std::vector<std::string_view> entryPoints)
    : entryPoints_(std::move(entryPoints)), calls_(entryPoints_.size())
{
}

std::uint64_t CallCounter::count(std::string_view entryPoint)
{
    for (std::size_t index = 0; index < entryPoints_.size(); ++index) {
        if (entryPoints_[index] == entryPoint) {
            return count(index);
        }
    }
    return 0;
}

std::uint64_t CallCounter::count(std::size_t index)
{
    if (index >= calls_.size()) {
        return 0;
    }
    return calls_[index].fetch_add(1, std::memory_order_relaxed) + 1;
}

void CallCounter::restart()
{
    for (auto& calls : calls_) {
        calls.store(0, std::memory_order_relaxed);
    }
}

} // namespace veltrano::sim
