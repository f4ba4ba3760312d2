# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Windows with Debian's mingw-w64 GCC and runs the
# resulting programs (tests, test discovery) under Wine through wine-run.sh.
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Debian: g++-mingw-w64-x86-64-posix, wine, wine64.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELTRANO_MINGW_TRIPLE x86_64-w64-mingw32)

# The "-posix" builds by name: when both thread models are installed the plain
# names point to the win32 one, whose GCC 12 library has no std::mutex,
# std::thread or std::jthread.
set(CMAKE_C_COMPILER ${VELTRANO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTRANO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTRANO_MINGW_TRIPLE}-windres)

# Only the cross sysroot is searched for libraries, headers and packages, so
# nothing built for the host can end up in a Windows binary. Programs (code
# generators and the like) still come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELTRANO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary carries its own C and C++ runtime. An executable linked only
# with -static-libgcc -static-libstdc++ still needs libwinpthread-1.dll and
# fails to start where that DLL is not beside it; -static takes winpthread in
# as well. A DLL (a test's stand-in for a vendor library, say) gets the same
# treatment so that loading it never depends on MinGW DLLs being found.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The Wine prefix every program of this build tree runs in. It is private to
# the build so that tests never touch (or depend on) the user's ~/.wine, and
# its C:\Program Files is $prefix/drive_c/Program Files.
set(VELTRANO_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH
    "Wine prefix in which this build's Windows programs run")

# CTest and gtest_discover_tests run every Windows program through Wine. The
# prefix travels as an environment variable so that the wrapper and the tests
# see the same directory (scripts/windows-tests.sh creates it).
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env "VELTRANO_WINEPREFIX=${VELTRANO_WINEPREFIX}" "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
