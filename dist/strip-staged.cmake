# SPDX-License-Identifier: GPL-3.0-or-later
#
# CPack runs this after installing into its staging folder and before it
# packs: drops each ELF file's .comment and .note sections (compiler banners,
# of no use at run time), as dh_strip does. The symbols and debug information
# stay: CPack moves them into marrowfield-dbgsym and strips the programs
# itself afterwards (CPACK_DEBIAN_DEBUGINFO_PACKAGE).
find_program(OBJCOPY_PROGRAM objcopy REQUIRED)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${OBJCOPY_PROGRAM}" --remove-section=.comment --remove-section=.note "${file}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "objcopy failed on ${file}")
    endif()
  endif()
endforeach()
