// SPDX-License-Identifier: MIT
#include "bladerf/model/BladeRfKind.h"

namespace veltrano::sim::bladerf {

// Stages and ranges like those libbladeRF reports for the board, kept whole:
// the 2.0 micro's receive stage here spans one band's range with no offset,
// so that the overall gain and the stages' sum agree, as the scene expects.
// The x40's VCTCXO DAC takes 16 bits; the micro's AD5621 12 bits, shifted left by 2.
const BladeRfDescription& describe(BladeRfKind kind)
{
    static const BladeRfDescription x40{
        "bladerf1",
        "bladeRF",
        BLADERF_FPGA_40KLE,
        "40",
        "0x8b5a",
        {80000, 40000000, 1, 1.0F},
        {237500000, 3800000000, 1, 1.0F},
        {1500000, 28000000, 1, 1.0F},
        {{{"lna", {0, 6, 3, 1.0F}}, {"rxvga1", {5, 30, 1, 1.0F}}, {"rxvga2", {0, 30, 3, 1.0F}}}, {-1, 60, 1, 1.0F}, -6},
        {{{"txvga1", {-35, -4, 1, 1.0F}}, {"txvga2", {0, 25, 1, 1.0F}}}, {17, 73, 1, 1.0F}, 52},
        false,
        false};
    static const BladeRfDescription micro{"bladerf2",
                                          "bladeRF 2.0",
                                          BLADERF_FPGA_A4,
                                          "A4",
                                          "0x1ec4",
                                          {520834, 61440000, 1, 1.0F},
                                          {70000000, 6000000000, 2, 1.0F},
                                          {200000, 56000000, 1, 1.0F},
                                          {{{"full", {-15, 60, 1, 1.0F}}}, {-15, 60, 1, 1.0F}, 0},
                                          {{{"dsa", {-89750, 0, 250, 0.001F}}}, {-23750, 66000, 250, 0.001F}, 66},
                                          true,
                                          true};
    return kind == BladeRfKind::x40 ? x40 : micro;
}

} // namespace veltrano::sim::bladerf
