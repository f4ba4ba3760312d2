// SPDX-License-Identifier: MIT
#pragma once

// A library that exists only to be depended on: the dependent bladeRF simulator
// calls into it, so that simulator can be loaded only when the loader finds this
// one beside it.

#if defined(_WIN32)
#if defined(VELTRANO_SIM_BUILDING_DEPENDENCY)
#define VELTRANO_SIM_DEPENDENCY_API __declspec(dllexport)
#else
#define VELTRANO_SIM_DEPENDENCY_API __declspec(dllimport)
#endif
#else
#define VELTRANO_SIM_DEPENDENCY_API __attribute__((visibility("default")))
#endif

extern "C" VELTRANO_SIM_DEPENDENCY_API int veltrano_sim_dependency_check(void);

// What veltrano_sim_dependency_check returns.
inline constexpr int kVeltranoSimDependencyCheck = 0x5eed;
