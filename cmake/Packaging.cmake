# SPDX-License-Identifier: MIT
# Binary packages (cpack from a build directory): a .deb for Debian 12 from
# the native build or the arm64 cross build, and a .zip holding sdr-probe.exe, the README and the
# licence from the Windows cross build.
set(CPACK_PACKAGE_NAME veltrano)
set(CPACK_PACKAGE_VENDOR "veltrano developers")
set(CPACK_PACKAGE_CONTACT "veltrano developers <veltrano@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "probe and C++ device layer for HackRF and bladeRF radio boards")
set(CPACK_PACKAGE_DESCRIPTION "sdr-probe lists the attached HackRF and bladeRF boards with their receive
capabilities. The static C++20 device library it is built on streams, sweeps
and transmits; the vendors' host libraries are loaded at run time, never
linked. Simulated libhackrf and libbladeRF libraries, scripted by text files,
let programs and CI run without a board.")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Only the program, its README and licence: the development files serve the
    # native toolchains, which this archive is not meant for.
    set(CPACK_GENERATOR ZIP)
    set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/")
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
    # CPack asks dpkg for the architecture, which names the host's; a cross
    # build names its target's (dpkg-shlibdeps then reads the arm64 C and C++
    # runtimes' symbols: libc6, libgcc-s1 and libstdc++6 for arm64 installed).
    if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    endif()
    # Depends come from what the binaries really link (libc, libstdc++);
    # the vendor libraries are only loaded when present.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libhackrf0, libbladerf2")

    # Debian's own layout, applied to the staged tree just before it is
    # packed: the copyright file in place of LICENSE, a changelog, and the
    # pkg-config file in the multiarch directory.
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianLayout.cmake)
    set(CPACK_VELTRANO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
    set(CPACK_VELTRANO_DOCDIR ${CMAKE_INSTALL_DOCDIR})
    set(CPACK_VELTRANO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    set(CPACK_VELTRANO_MULTIARCH ${CMAKE_LIBRARY_ARCHITECTURE})
    # A release is dated by its manual page, so the same source always
    # gives the same changelog.
    file(STRINGS man/sdr-probe.1 title_line REGEX "^\\.TH ")
    string(REGEX MATCH "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]" release_date "${title_line}")
    execute_process(COMMAND date -u -R -d "${release_date} 00:00:00 UTC"
        OUTPUT_VARIABLE CPACK_VELTRANO_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
endif()

include(CPack)
