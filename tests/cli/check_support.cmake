# SPDX-License-Identifier: GPL-3.0-or-later
# What the command line's script tests share (include() it).

# expect(MESSAGE CONDITION...): fails the test with MESSAGE unless the if()
# condition holds.
macro(expect what)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "${what}")
  endif()
endmacro()

file(MAKE_DIRECTORY "${WORK_DIR}")
