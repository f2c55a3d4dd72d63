# SPDX-License-Identifier: GPL-3.0-or-later
# The command line of `marrowfield-cli classify`: exit statuses, errors named
# on stderr, readable files still processed, the two output formats, search.
#   cmake -DCLI=... -DWORK_DIR=... -P classify_check.cmake

include("${CMAKE_CURRENT_LIST_DIR}/check_support.cmake")
set(input "${WORK_DIR}/cli_input.log")
file(WRITE "${input}" "Error: disk full\n  \nchatter\nWARNING:   Low   Memory\ntoken refreshed\n[org.x:y] mine\n")

# A missing file and a directory are named; the readable file is still read.
execute_process(COMMAND "${CLI}" classify --tsv "${WORK_DIR}/missing.log" "${input}" "${WORK_DIR}"
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
expect("unreadable files must give status 2, got ${status}" status EQUAL 2)
string(FIND "${err}" "marrowfield-cli: cannot read ${WORK_DIR}/missing.log: No such file or directory" at)
expect("missing file not named: ${err}" at GREATER -1)
string(FIND "${err}" "marrowfield-cli: cannot read ${WORK_DIR}: Is a directory" at)
expect("directory not named: ${err}" at GREATER -1)
expect("default view: ${out}" out STREQUAL "ERROR\tCONSOLE\t0\tError: disk full\nWARN\tCONSOLE\t0\tWARNING:   Low   Memory\n")

# --raw lists noise; --bundle-id makes the target's own lines actionable.
execute_process(COMMAND "${CLI}" classify --raw --tsv --bundle-id=ORG.X "${input}" OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("status ${status}" status EQUAL 0)
expect("raw view: ${out}" out STREQUAL "ERROR\tCONSOLE\t0\tError: disk full\nINFO\tCONSOLE\t1\tchatter\nWARN\tCONSOLE\t0\tWARNING:   Low   Memory\nINFO\tCONSOLE\t1\ttoken refreshed\nINFO\tCONSOLE\t0\t[org.x:y] mine\n")

# Search: "ok" matches "token" case-insensitively, and the label OK of nothing.
execute_process(COMMAND "${CLI}" classify --raw --tsv --search "  OK " "${input}" OUTPUT_VARIABLE out)
expect("search: ${out}" out STREQUAL "INFO\tCONSOLE\t1\ttoken refreshed\n")
execute_process(COMMAND "${CLI}" classify --search warn "${input}" OUTPUT_VARIABLE out)
string(REGEX MATCH "^\\[[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\] \\[WARN\\] \\[CONSOLE\\] WARNING:   Low   Memory\n$" matched "${out}")
expect("summary line format: ${out}" matched)

# The readable form is escaped in a pipe too: a saved output is read in a
# terminal later, where an escape sequence would be obeyed.
string(ASCII 27 esc)
file(WRITE "${WORK_DIR}/esc.log" "Error: real${esc}[2K forged\n")
execute_process(COMMAND "${CLI}" classify "${WORK_DIR}/esc.log" OUTPUT_VARIABLE out)
string(FIND "${out}" "Error: real\\x1b[2K forged" at)
expect("an escape sequence reached a pipe unescaped: ${out}" at GREATER -1)

# Standard input, also as "-": named twice, it is read once (the second finds its end) and stays open.
execute_process(COMMAND "${CLI}" classify --tsv - - INPUT_FILE "${input}" OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("stdin status ${status}" status EQUAL 0)
expect("stdin: ${out}" out STREQUAL "ERROR\tCONSOLE\t0\tError: disk full\nWARN\tCONSOLE\t0\tWARNING:   Low   Memory\n")

# Usage: --help on stdout with 0; bad options on stderr with 2.
execute_process(COMMAND "${CLI}" classify --help OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("--help status ${status}" status EQUAL 0)
string(FIND "${out}" "usage: marrowfield-cli classify" at)
expect("--help text: ${out}" at EQUAL 0)
foreach(bad "--bogus" "--search")
  execute_process(COMMAND "${CLI}" classify ${bad} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  expect("${bad}: status ${status}" status EQUAL 2)
  string(FIND "${err}" "usage: marrowfield-cli classify" at)
  expect("${bad}: no usage on stderr: ${err}" at GREATER -1)
  string(LENGTH "${out}" out_length)
  expect("${bad}: wrote to stdout" out_length EQUAL 0)
endforeach()
execute_process(COMMAND "${CLI}" no-such-command OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE status)
expect("unknown command: status ${status}" status EQUAL 2)
