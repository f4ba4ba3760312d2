# SPDX-License-Identifier: MIT
# Run by cpack on the staged tree of the .deb, just before it is packed
# (CPACK_PRE_BUILD_SCRIPTS): what Debian's policy asks of a binary package
# beyond what `cmake --install` lays out.
#  - The licence is stated in /usr/share/doc/veltrano/copyright, in Debian's
#    machine-readable format; a second licence file would be redundant.
#  - A native package carries its changelog as changelog.gz.
#  - Its HTML documentation is registered with doc-base.
#  - pkg-config files belong in the multiarch directory, with the absolute
#    prefix of the system they are installed into.
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/${CPACK_VELTRANO_DOCDIR}")
set(templates "${CPACK_VELTRANO_SOURCE_DIR}/cmake/templates")

# The licence text without its title and copyright line, one space in front
# of every line and " ." for blank lines, as the format wants it.
file(READ "${CPACK_VELTRANO_SOURCE_DIR}/LICENSE" licence)
string(FIND "${licence}" "Permission is hereby granted" permission_start)
string(SUBSTRING "${licence}" ${permission_start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " VELTRANO_LICENSE_PARAGRAPHS " ${licence}")
set(CPACK_PACKAGE_CONTACT "${CPACK_PACKAGE_CONTACT}")
configure_file("${templates}/copyright.in" "${doc}/copyright" @ONLY)
file(REMOVE "${doc}/LICENSE")

set(PROJECT_VERSION "${CPACK_PACKAGE_VERSION}")
set(VELTRANO_RELEASE_DATE_RFC2822 "${CPACK_VELTRANO_RELEASE_DATE}")
configure_file("${templates}/changelog.in" "${doc}/changelog" @ONLY)
# -n: no name or time stamp in the gzip header, so the package is reproducible.
execute_process(COMMAND gzip -9 -n -f "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# The API reference registered with doc-base, so documentation browsers list it.
if(EXISTS "${doc}/html/index.html")
    string(REGEX REPLACE "^/+" "" CPACK_VELTRANO_DOCDIR_ABSOLUTE "${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_VELTRANO_DOCDIR}")
    configure_file("${templates}/doc-base.in" "${usr}/share/doc-base/veltrano-api" @ONLY)
endif()

if(CPACK_VELTRANO_MULTIARCH)
    set(pc_from "${usr}/${CPACK_VELTRANO_PKGCONFIG_DIR}/veltrano.pc")
    set(pc_dir "${usr}/lib/${CPACK_VELTRANO_MULTIARCH}/pkgconfig")
    file(READ "${pc_from}" pc)
    string(REGEX REPLACE "(^|\n)prefix=[^\n]*" "\\1prefix=${CPACK_PACKAGING_INSTALL_PREFIX}" pc "${pc}")
    file(MAKE_DIRECTORY "${pc_dir}")
    file(WRITE "${pc_dir}/veltrano.pc" "${pc}")
    file(REMOVE "${pc_from}")
    # Leave no empty directory behind.
    file(GLOB left "${usr}/${CPACK_VELTRANO_PKGCONFIG_DIR}/*")
    if(NOT left)
        file(REMOVE_RECURSE "${usr}/${CPACK_VELTRANO_PKGCONFIG_DIR}")
    endif()
endif()
