# SPDX-License-Identifier: MIT
# The vendor libraries are loaded at run time, never linked, but their
# published headers define the records and prototypes we call them with.
# They are copied into the build tree so that a cross compiler can use them
# without seeing the rest of the host's /usr/include.
set(VELTRANO_VENDOR_HEADER_ROOT "/usr/include" CACHE PATH
    "Directory holding libhackrf/hackrf.h and libbladeRF.h (Debian: libhackrf-dev, libbladerf-dev)")

set(VELTRANO_VENDOR_INCLUDE_DIR ${CMAKE_BINARY_DIR}/vendor-include)
foreach(header libhackrf/hackrf.h libbladeRF.h bladeRF1.h bladeRF2.h)
    set(source ${VELTRANO_VENDOR_HEADER_ROOT}/${header})
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "Missing vendor header ${source}: install libhackrf-dev and libbladerf-dev")
    endif()
    configure_file(${source} ${VELTRANO_VENDOR_INCLUDE_DIR}/${header} COPYONLY)
endforeach()

add_library(veltrano_vendor_headers INTERFACE)
target_include_directories(veltrano_vendor_headers SYSTEM INTERFACE ${VELTRANO_VENDOR_INCLUDE_DIR})
add_library(veltrano::vendor_headers ALIAS veltrano_vendor_headers)
