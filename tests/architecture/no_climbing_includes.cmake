# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source under ROOT includes a path with "..".
file(GLOB_RECURSE sources ${ROOT}/*.h ${ROOT}/*.cpp)
set(found "")
foreach(source ${sources})
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\.")
  foreach(line ${lines})
    list(APPEND found "${source}: ${line}")
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n" report)
  message(FATAL_ERROR "Includes that climb out of their library:\n${report}")
endif()
