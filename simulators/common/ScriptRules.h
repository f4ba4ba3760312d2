// SPDX-License-Identifier: MIT
#pragma once

// The rules both families' scripts share: which calls of an entry point fail
// and how, when a board vanishes, and what an open does. One grammar for
// every simulated library; the spellings the HackRF and bladeRF scripts used
// before it stay accepted, each read as it always was.
//
//   fail <entry point> <result>|timeout [calls <first>[-<last>|+]]
//   unplug at <entry point> <call> <result>|timeout
//   unplug after-opens <count>
//   open <result> <identifier>     open-any <result>
//   open-null <identifier>         open-any-null
//
// Calls are numbered per entry point from 1 across the process (a script
// reload numbers them afresh); without `calls` a rule holds for every call.

#include "SimScript.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::sim {

struct CallRange {
    std::uint64_t first = 1;
    std::optional<std::uint64_t> last; // none: this call and every later one

    bool contains(std::uint64_t call) const { return call >= first && (!last || call <= *last); }
};

// "<first>" (that call), "<first>+" (it and every later one) or "<first>-<last>",
// for a family's own call-numbered directives.
CallRange parseCallRange(const ScriptLine& line, std::string_view text);

// A scripted failure: the result to return, or a time-out (the family's time-out
// code, for which a stream call first waits its own time-out).
struct FaultRule {
    std::string entryPoint;
    CallRange calls;
    int result = 0;
    bool timeout = false;
};

// How a family's three-word `fail` line of old reads.
enum class OldFailSpelling {
    resultThenCount, // "fail <entry> <result> <count>": the first <count> calls
    callThenResult,  // "fail <entry> <call>[+] <result>|timeout": that call (and every later one)
};

// Reads a `fail` line, in the one grammar or the family's old spelling.
FaultRule parseFailLine(const ScriptLine& line, OldFailSpelling old, int timeoutResult);

// The rule for this call of the entry point, the later script line winning; null when none.
const FaultRule* faultFor(const std::vector<FaultRule>& rules, std::string_view entryPoint, std::uint64_t call);

// When the board vanishes: at a call of an entry point (that call and every
// later call of every entry point with scripted results fail with the rule's
// result), or once this many opens have succeeded.
struct UnplugRule {
    std::optional<FaultRule> atCall;
    std::optional<std::uint64_t> afterOpens;
};

// Applies an `unplug …` line (also the old `unplug <entry point> <call> <result>`
// and `unplug-after-opens <count>`); false when the line is none of them.
bool applyUnplugLine(UnplugRule& rule, const ScriptLine& line, int timeoutResult);

// What a scripted open does instead of the default lookup.
struct OpenRule {
    int result = 0;
    bool nullDevice = false; // report success but hand back no device
};

class OpenRules {
public:
    // Applies an `open…` line (also the old `open-null-handle`, `open-any-null-handle`,
    // `open-null-device`, `open-any-null-device`); false when the line is none of them.
    bool apply(const ScriptLine& line);
    // The rule for this identifier; a null identifier takes the `open-any` rule.
    const OpenRule* find(const char* identifier) const;

private:
    std::map<std::string, OpenRule, std::less<>> byIdentifier_;
    std::optional<OpenRule> any_;
};

// Numbers the calls of each entry point from 1. Relaxed atomics: the counts
// must not order anything between the caller's threads, or ThreadSanitizer
// would miss races in the code under test.
class CallCounter {
public:
    explicit CallCounter(std::vector<std::string_view> entryPoints);

    // Counts one call and returns its number; 0 for an entry point not in the list.
    std::uint64_t count(std::string_view entryPoint);
    // The same by the entry point's place in the list.
    std::uint64_t count(std::size_t index);
    void restart();

private:
    std::vector<std::string_view> entryPoints_;
    std::vector<std::atomic<std::uint64_t>> calls_;
};

} // namespace veltrano::sim
