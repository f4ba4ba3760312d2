# SPDX-License-Identifier: MIT
# The API reference (target veltrano-api-reference, part of the default
# build): Doxygen over every header the device library installs, with every
# warning an error, installed under share/doc/veltrano/html. Where Doxygen is
# missing the build goes on without it; scripts/install-dependencies.sh
# installs it for the test command, and the consumer test requires the pages
# in the package. The Windows archive carries only the program.
if(WIN32)
    return()
endif()
find_package(Doxygen)
if(NOT DOXYGEN_FOUND)
    message(STATUS "Doxygen not found: no API reference")
    return()
endif()

get_target_property(public_headers veltrano_device HEADER_SET)
list(TRANSFORM public_headers PREPEND ${PROJECT_SOURCE_DIR}/device/ REGEX "^[^/]")
set(mainpage ${PROJECT_SOURCE_DIR}/cmake/templates/api-mainpage.md)
set(VELTRANO_API_REFERENCE_DIR ${PROJECT_BINARY_DIR}/api)
set(VELTRANO_API_REFERENCE_MAINPAGE ${mainpage})
list(JOIN public_headers " " VELTRANO_API_REFERENCE_INPUT)
string(APPEND VELTRANO_API_REFERENCE_INPUT " ${mainpage}")
configure_file(cmake/templates/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)

set(index ${VELTRANO_API_REFERENCE_DIR}/html/index.html)
add_custom_command(OUTPUT ${index}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELTRANO_API_REFERENCE_DIR}
    COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
    DEPENDS ${public_headers} ${mainpage} ${PROJECT_BINARY_DIR}/Doxyfile
    COMMENT "API reference (Doxygen)"
    VERBATIM)
add_custom_target(veltrano-api-reference ALL DEPENDS ${index})
install(DIRECTORY ${VELTRANO_API_REFERENCE_DIR}/html DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT development)
