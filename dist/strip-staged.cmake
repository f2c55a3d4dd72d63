# SPDX-License-Identifier: GPL-3.0-or-later
#
# CPack runs this after installing into its staging folder and before it
# packs. As dh_strip and dh_builddeb would, it moves each ELF file's debug
# information (compressed) to /usr/lib/debug/.build-id/xx/yyyy.debug, strips
# the file, .comment and .note sections included (compiler banners, of no
# use at run time), links it to its debug file, and packs the debug files as
# <package>-dbgsym_<version>_<arch>.deb beside the package: gdb and
# systemd-coredump look a crashed program up there by its build ID.
# (CPack's own CPACK_DEBIAN_DEBUGINFO_PACKAGE writes build paths into the
# md5sums of the package it makes, and gives it no documentation folder.)
find_program(OBJCOPY_PROGRAM objcopy REQUIRED)
find_program(STRIP_PROGRAM strip REQUIRED)
find_program(READELF_PROGRAM readelf REQUIRED)
find_program(DPKG_DEB_PROGRAM dpkg-deb REQUIRED)
find_program(DPKG_PROGRAM dpkg REQUIRED)

set(package "${CPACK_DEBIAN_PACKAGE_NAME}")
if(NOT package)
  string(TOLOWER "${CPACK_PACKAGE_NAME}" package)
endif()
set(dbgsym "${CPACK_TEMPORARY_INSTALL_DIRECTORY}-dbgsym")
file(REMOVE_RECURSE "${dbgsym}")

set(build_ids "")
set(sums "")
set(size 0)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(SORT files)
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  execute_process(COMMAND "${READELF_PROGRAM}" -n "${file}" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${file} has no build ID")
  endif()
  string(APPEND build_ids " ${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
  set(relative "usr/lib/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug")
  set(debug "${dbgsym}/${relative}")
  get_filename_component(folder "${debug}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  execute_process(COMMAND "${OBJCOPY_PROGRAM}" --only-keep-debug --compress-debug-sections "${file}" "${debug}"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND "${STRIP_PROGRAM}" --remove-section=.comment --remove-section=.note "${file}"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${OBJCOPY_PROGRAM}" "--add-gnu-debuglink=${debug}" "${file}" COMMAND_ERROR_IS_FATAL ANY)
  file(MD5 "${debug}" sum)
  string(APPEND sums "${sum}  ${relative}\n")
  file(SIZE "${debug}" bytes)
  math(EXPR size "${size} + (${bytes} + 1023) / 1024")
endforeach()
if(build_ids STREQUAL "")
  return()
endif()
string(STRIP "${build_ids}" build_ids)

# As Debian's dbgsym packages have it: the documentation is the package's own.
file(MAKE_DIRECTORY "${dbgsym}/usr/share/doc" "${dbgsym}/DEBIAN")
file(CREATE_LINK "${package}" "${dbgsym}/usr/share/doc/${package}-dbgsym" SYMBOLIC)
execute_process(COMMAND "${DPKG_PROGRAM}" --print-architecture OUTPUT_VARIABLE architecture
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(version "${CPACK_PACKAGE_VERSION}")
file(WRITE "${dbgsym}/DEBIAN/control" "Package: ${package}-dbgsym
Source: ${package}
Version: ${version}
Auto-Built-Package: debug-symbols
Architecture: ${architecture}
Maintainer: ${CPACK_PACKAGE_CONTACT}
Installed-Size: ${size}
Depends: ${package} (= ${version})
Section: debug
Priority: optional
Description: debug symbols for ${package}
Build-Ids: ${build_ids}
")
file(WRITE "${dbgsym}/DEBIAN/md5sums" "${sums}")
# Every file dated by SOURCE_DATE_EPOCH (set for cpack by the project's
# cpack-options.cmake): two builds of one version give the same bytes.
execute_process(COMMAND find "${dbgsym}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                COMMAND_ERROR_IS_FATAL ANY)
file(MAKE_DIRECTORY "${CPACK_OUTPUT_FILE_PREFIX}")
execute_process(COMMAND "${DPKG_DEB_PROGRAM}" --root-owner-group -Zxz --build "${dbgsym}"
                        "${CPACK_OUTPUT_FILE_PREFIX}/${package}-dbgsym_${version}_${architecture}.deb"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
