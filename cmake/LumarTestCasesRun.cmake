cmake_minimum_required(VERSION 3.25)
# The run behind the case lines of lumar_add_test_cases: runs PROGRAM under
# EMULATOR with ARGS and a report at REPORT. It passes when the report was
# written, whatever the cases say (their own lines say that), and fails when
# there is no report or the program failed outside its cases.
file(REMOVE "${REPORT}")
# The program runs under Wine: its path to the report is a Windows one.
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" ${ARGS} "--gtest_output=xml:Z:${REPORT}"
  RESULT_VARIABLE status)
if(NOT EXISTS "${REPORT}")
  message(FATAL_ERROR "the run wrote no report (exit status ${status})")
endif()
file(READ "${REPORT}" report)
if(NOT status EQUAL 0 AND NOT report MATCHES "<failure")
  message(FATAL_ERROR "the run failed outside its cases (exit status ${status})")
endif()
