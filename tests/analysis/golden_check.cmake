# SPDX-License-Identifier: GPL-3.0-or-later
# Runs `marrowfield-cli classify --raw --tsv` over one golden corpus and
# compares the output with the stored expectation byte for byte.
#   cmake -DCLI=... -DNAME=... -DGOLDEN_DIR=... -DWORK_DIR=... -P golden_check.cmake
file(READ "${GOLDEN_DIR}/${NAME}.bundle-id" bundle_id)
string(REGEX REPLACE "\n.*" "" bundle_id "${bundle_id}")
set(actual "${WORK_DIR}/${NAME}.actual.tsv")
execute_process(
  COMMAND "${CLI}" classify --raw --tsv --bundle-id "${bundle_id}" "${GOLDEN_DIR}/${NAME}.log"
  OUTPUT_FILE "${actual}"
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "marrowfield-cli exited with ${status}: ${errors}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${GOLDEN_DIR}/${NAME}.tsv" "${actual}"
                RESULT_VARIABLE different)
if(different)
  execute_process(COMMAND diff -u "${GOLDEN_DIR}/${NAME}.tsv" "${actual}" OUTPUT_VARIABLE diff_text)
  message(FATAL_ERROR "classification of ${NAME}.log changed (scripts/regen-golden after a deliberate change):\n${diff_text}")
endif()
