#pragma once

// The per-process state behind the simulated libbladeRF: the parsed script and
// the journal. Devices are not tracked here: each open hands out its own heap
// object, which bladerf_close frees, so a device layer that never closes is
// caught by LeakSanitizer.

#include "common/SimJournal.h"

#include <libbladeRF.h>

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

    bladerf_devinfo info{};            // what bladerf_get_device_list reports
    bool nameNull = false;             // bladerf_get_board_name returns null
    std::string name = "bladerf2";     // otherwise this
    std::size_t rxChannels = 2;
    std::size_t txChannels = 2;
    bladerf_range sampleRates{520834, 61440000, 1, 1.0F}; // both directions
    int sampleRatesResult = 0;
    bladerf_range rxFrequencies{70000000, 6000000000, 2, 1.0F};
    bladerf_range txFrequencies{70000000, 6000000000, 2, 1.0F};
    int frequenciesResult = 0;

    // The serial as the library's own identifier matching reads the field: up to
    // the first NUL, or the whole field when there is none.
    std::string_view serialText() const;
};

// What a scripted open does instead of the default lookup.
struct OpenRule {
    int result = 0;
    bool nullDevice = false; // report success but hand back no device
};

struct Script {
    std::vector<Board> boards;
    std::optional<int> listResult;
    bool listNull = false;
    std::map<std::string, OpenRule, std::less<>> openRules;
    std::optional<OpenRule> openAnyRule;
    bool strerrorTexts = true;
    std::uint16_t versionMajor = 2;
    std::uint16_t versionMinor = 4;
    std::uint16_t versionPatch = 1;
};

// Reads VELTRANO_SIM_BLADERF_SCRIPT; aborts on an unknown directive.
Script readScript();

class Simulator {
public:
    Simulator();

    const Script& script() const { return script_; }
    void log(const JournalLine& line) { journal_.write(line.text()); }

    // The board an identifier names under the default rules, or null: a null
    // identifier is the first board, "*:serial=S" the board with serial S.
    const Board* findBoard(const char* identifier) const;
    // The board a scripted successful open attaches to: the named one if any,
    // else the first, else a board with every default.
    const Board& boardForScriptedOpen(const char* identifier) const;
    // Reads the script again.
    void reloadScript() { script_ = readScript(); }

private:
    Script script_;
    Board defaultBoard_;
    Journal journal_;
};

// The process's simulator, created on first use (thread-safe).
Simulator& simulator();

} // namespace veltrano::sim::bladerf
