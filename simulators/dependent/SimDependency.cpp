// SPDX-License-Identifier: MIT
#include "dependent/SimDependency.h"

extern "C" int veltrano_sim_dependency_check(void)
{
    return kVeltranoSimDependencyCheck;
}
