# CPack runs this after installing into its staging folder and before it
# packs: strips each ELF file as dh_strip would, the .comment and .note
# sections (compiler banners, of no use at run time) included. CPack's own
# CPACK_STRIP_FILES keeps them.
find_program(STRIP_PROGRAM strip REQUIRED)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${STRIP_PROGRAM}" --remove-section=.comment --remove-section=.note "${file}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "strip failed on ${file}")
    endif()
  endif()
endforeach()
