# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit ARM Linux with Debian's GCC for aarch64 and runs
# the resulting programs (tests, test discovery) under qemu-aarch64.
#
#   bash scripts/arm64-sysroot.sh build-arm64/sysroot
#   cmake -S . -B build-arm64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Debian: g++-aarch64-linux-gnu, qemu-user (bash scripts/install-dependencies.sh arm64).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Debian's arm64 libraries, unpacked by scripts/arm64-sysroot.sh: the C
# library and its loader, the vendor libraries, libusb, SoapySDR, VOLK and
# Google Benchmark. The compiler keeps its own cross C library for building.
set(VELTRANO_ARM64_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
    "Folder holding Debian's arm64 libraries (scripts/arm64-sysroot.sh fills it)")

# Only the cross folders are searched for libraries, headers and packages, so
# nothing built for the host can end up in an arm64 binary. Programs (code
# generators and the like) still come from the host.
set(CMAKE_FIND_ROOT_PATH "${VELTRANO_ARM64_SYSROOT}" /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Shared libraries in the folder name their own dependencies (libSoapySDR
# needs libstdc++, libusb needs libudev); the linker finds those there.
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-Wl,-rpath-link,${VELTRANO_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${VELTRANO_ARM64_SYSROOT}/lib/aarch64-linux-gnu")
endforeach()

# CTest and gtest_discover_tests run every arm64 program through qemu, which
# takes the loader and every library from the folder before the host's.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64 -L "${VELTRANO_ARM64_SYSROOT}")
