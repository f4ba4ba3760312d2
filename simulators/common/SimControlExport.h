// SPDX-License-Identifier: MIT
#pragma once

// Marks a simulator's own control entry points for export, beside the
// vendor's ones (the simulators are built with hidden visibility).
#if defined(_WIN32)
#define VELTRANO_SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define VELTRANO_SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
