// SPDX-License-Identifier: MIT
#pragma once

// libhackrf's published header, included the one way every simulator source
// must include it. The header declares the entry points without any
// visibility of their own on POSIX, and the simulator is built with hidden
// visibility, so they get the default one back here; whichever source includes
// the header first fixes the declarations' visibility for the whole library.
// (On Windows the header's ADDAPI already exports them.)

#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility push(default)
#endif
#include <libhackrf/hackrf.h>
#if defined(__GNUC__) && !defined(_WIN32)
#pragma GCC visibility pop
#endif
