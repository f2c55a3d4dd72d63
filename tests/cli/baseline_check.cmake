# SPDX-License-Identifier: GPL-3.0-or-later
# `marrowfield-cli trace --baseline FILE` refuses, before anything launches,
# a file that is not --json output, naming the file and the first line that
# is not: blank lines are counted but skipped.
#   cmake -DCLI=... -DWORK_DIR=... -P baseline_check.cmake

include("${CMAKE_CURRENT_LIST_DIR}/check_support.cmake")
set(trace "{\"schema\":\"marrowfield-trace/1\",\"kind\":\"trace\",\"app\":\"a\"}")

# refused(NAME CONTENT SAID): a baseline of CONTENT is refused with SAID after its path.
function(refused name content said)
  set(file "${WORK_DIR}/${name}.json")
  if(NOT content STREQUAL "-")
    file(WRITE "${file}" "${content}")
  endif()
  execute_process(COMMAND "${CLI}" trace --baseline "${file}" "${CLI}" OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status)
  string(LENGTH "${out}" written)
  expect("${name}: status ${status}, ${out}" status EQUAL 2 AND written EQUAL 0)
  expect("${name}: ${err}" err STREQUAL "marrowfield-cli trace: --baseline ${file}${said}\n")
endfunction()

refused(missing "-" " cannot be read")
refused(blank "\n \t\r\n" " holds no marrowfield-cli trace --json output")
refused(not_json "${trace}\n\n  \nnot json\n" ":4: not a line of marrowfield-cli trace --json output")
refused(no_schema "{\"kind\":\"event\",\"message\":\"m\"}\n" ":1: not a line of marrowfield-cli trace --json output")
refused(other_schema "{\"schema\":\"xmarrowfield-trace/1\"}\n" ":1: not a line of marrowfield-cli trace --json output")
