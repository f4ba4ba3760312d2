# SPDX-License-Identifier: MIT
# What `cmake --install` adds beside the targets' own rules: the CMake package
# (find_package(veltrano CONFIG) gives veltrano::device), the pkg-config file,
# the man page, the README, the changes, the documentation pages and the
# licence. Everything is placed relative to the prefix, so an installed tree
# can be moved (a .deb, a .zip, a temporary prefix).
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/veltrano)
install(EXPORT veltrano-targets NAMESPACE veltrano:: DESTINATION ${config_dir}
    FILE veltrano-targets.cmake COMPONENT development)
configure_package_config_file(cmake/templates/veltrano-config.cmake.in
    ${PROJECT_BINARY_DIR}/veltrano-config.cmake
    INSTALL_DESTINATION ${config_dir}
    PATH_VARS VELTRANO_INSTALL_SIMULATORDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veltrano-config-version.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veltrano-config.cmake ${PROJECT_BINARY_DIR}/veltrano-config-version.cmake
    DESTINATION ${config_dir} COMPONENT development)

# pkg-config finds the prefix from the file's own place (${pcfiledir}).
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VELTRANO_PC_PREFIX_FROM_PCFILEDIR
    /prefix/${pkgconfig_dir} /prefix)
string(REGEX REPLACE "/$" "" VELTRANO_PC_PREFIX_FROM_PCFILEDIR "${VELTRANO_PC_PREFIX_FROM_PCFILEDIR}")
set(VELTRANO_PC_LIBS "")
foreach(library IN LISTS CMAKE_DL_LIBS)
    string(APPEND VELTRANO_PC_LIBS " -l${library}")
endforeach()
configure_file(cmake/templates/veltrano.pc.in ${PROJECT_BINARY_DIR}/veltrano.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/veltrano.pc DESTINATION ${pkgconfig_dir} COMPONENT development)

if(WIN32)
    # The Windows archive is unpacked and read where it lies.
    install(FILES README.md LICENSE DESTINATION . COMPONENT runtime)
else()
    install(FILES README.md CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
    # The pages the README links to, where its links expect them.
    install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
    # Manual pages ship compressed, and without a time stamp in the gzip
    # header so that the same source gives the same package.
    set(man_page ${PROJECT_BINARY_DIR}/man/sdr-probe.1)
    add_custom_command(OUTPUT ${man_page}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/sdr-probe.1 ${man_page}
        COMMAND gzip -9 -n -f ${man_page}
        DEPENDS man/sdr-probe.1
        VERBATIM)
    add_custom_target(veltrano-man-page ALL DEPENDS ${man_page}.gz)
    install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()
