// SPDX-License-Identifier: MIT
// Opera Cakes through the simulated libhackrf: the calls a frequency plan
// and a retune make, with the board's ports journalled after each, and a
// library or firmware that cannot list the boards offers no antennas and
// says why.
#include "tests/hackrf/HackRfStreamFixture.h"

#include <gmock/gmock.h>

#include <ostream>
#include <string>
#include <utility>

namespace veltrano {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class HackRfOperaCake : public test::HackRfStreamTest {};

TEST_F(HackRfOperaCake, aPlanIsSentWholeAndTheJournalShowsThePortsTheBoardTakesAfterEachRetune)
{
    openBoard("operacakes 0\n");
    ASSERT_TRUE(device().configureRx({433e6, 10e6, 0.0, 20.0}));
    std::size_t first = hackRf().journal().size();
    ASSERT_TRUE(device().setAntennaPlan({{"A2", {100e6, 900e6}}, {"B3", {2400e6, 2500e6}}})) << device().lastError();
    EXPECT_THAT(journalFrom(first), ElementsAre("hackrf_set_operacake_freq_ranges 100-900:1 2400-2500:6 -> 0",
                                                "hackrf_set_operacake_mode 0 1 -> 0", "operacake 0 A1/B1",
                                                "hackrf_set_freq 433000000 -> 0", "operacake 0 A2/B2"));
    const std::pair<double, const char*> retunes[] = {{2450e6, "operacake 0 B3/A3"}, {150e6, "operacake 0 A2/B2"}};
    for (const auto& [frequencyHz, ports] : retunes) {
        first = hackRf().journal().size();
        ASSERT_TRUE(device().setRxFrequency(frequencyHz));
        EXPECT_THAT(journalFrom(first), ElementsAre(HasSubstr("hackrf_set_freq"), ports));
    }
}

struct UnlistedCase {
    const char* name;
    const char* script;
    const char* variant;
    const char* words;
};

void PrintTo(const UnlistedCase& each, std::ostream* out)
{
    *out << each.name;
}

class HackRfOperaCakeUnlisted : public test::HackRfStreamTest, public ::testing::WithParamInterface<UnlistedCase> {};

TEST_P(HackRfOperaCakeUnlisted, offersNoAntennaAndSaysWhy)
{
    const UnlistedCase& each = GetParam();
    openBoard(std::string("operacakes 0\n") + each.script, each.variant);
    EXPECT_TRUE(device().antennas(StreamDirection::rx).empty());
    EXPECT_TRUE(device().accessories().empty());
    EXPECT_FALSE(device().setAntenna(StreamDirection::rx, "A1"));
    EXPECT_THAT(device().lastError(), HasSubstr(each.words));
    EXPECT_FALSE(device().setAntennaPlan({{"A1", {100e6, 200e6}}}));
    EXPECT_THAT(device().lastError(), HasSubstr(each.words));
}

INSTANTIATE_TEST_SUITE_P(Unlisted, HackRfOperaCakeUnlisted,
                         ::testing::Values(UnlistedCase{"libraryWithoutTheCalls", "", "sim-hackrf-no-operacake",
                                                        "the loaded libhackrf has no hackrf_get_operacake_boards"},
                                           UnlistedCase{"firmwareBeforeUsbApi0105", "usb-api 0x0104\n", "sim-hackrf",
                                                        "(USB API 0x0104) cannot list Opera Cakes; 0x0105 can"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace veltrano
