# One ctest line per test case of a GoogleTest program.
#
#   lumar_add_test_cases(<name> <target> [ARGS ...] [FIXTURES_REQUIRED ...]
#                        [RUN_SERIAL] [TIMEOUT <seconds>])
#
# Natively every case runs in a process of its own, as gtest_discover_tests
# registers it: "<name>.<Suite>.<Case>".
#
# In the Windows build the program runs under Wine, where a process costs
# 0.1 to 0.2 s and the end-to-end suites share a prefix, a foreground helper
# per suite and a reset of the prefix around the whole run. There the
# program runs once, as the test "<name>", and writes a report; each case
# is a test "<name>.<Suite>.<Case>" that requires that run and passes or
# fails as the report says, with the case's failure messages. The cases are
# listed when ctest starts, by the program itself under Wine. Selecting a
# case with `ctest -R` brings in its run (a fixture) and what that requires.

include(GoogleTest)

set(LUMAR_TEST_CASES_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(lumar_add_test_cases name target)
  cmake_parse_arguments(PARSE_ARGV 2 arg "RUN_SERIAL" "TIMEOUT" "ARGS;FIXTURES_REQUIRED")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 1500)
  endif()

  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(properties TIMEOUT ${arg_TIMEOUT})
    if(arg_FIXTURES_REQUIRED)
      list(APPEND properties FIXTURES_REQUIRED "${arg_FIXTURES_REQUIRED}")
    endif()
    if(arg_RUN_SERIAL)
      list(APPEND properties RUN_SERIAL TRUE)
    endif()
    gtest_discover_tests(${target} TEST_PREFIX "${name}." EXTRA_ARGS ${arg_ARGS}
      DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
    return()
  endif()

  set(report "${CMAKE_CURRENT_BINARY_DIR}/${name}-report.xml")
  add_test(NAME ${name}
    COMMAND "${CMAKE_COMMAND}"
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
      "-DPROGRAM=$<TARGET_FILE:${target}>"
      "-DREPORT=${report}"
      "-DARGS=${arg_ARGS}"
      -P "${LUMAR_TEST_CASES_DIR}/LumarTestCasesRun.cmake")
  set_tests_properties(${name} PROPERTIES FIXTURES_SETUP "${name}_run" TIMEOUT ${arg_TIMEOUT})
  if(arg_FIXTURES_REQUIRED)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${arg_FIXTURES_REQUIRED}")
  endif()
  if(arg_RUN_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()

  # Read by ctest when it starts: lists the cases and adds a line for each.
  set(list_script "${CMAKE_CURRENT_BINARY_DIR}/${name}-cases.cmake")
  file(GENERATE OUTPUT "${list_script}" CONTENT
"set(LUMAR_CASES_NAME [==[${name}]==])
set(LUMAR_CASES_EMULATOR [==[${CMAKE_CROSSCOMPILING_EMULATOR}]==])
set(LUMAR_CASES_PROGRAM [==[$<TARGET_FILE:${target}>]==])
set(LUMAR_CASES_REPORT [==[${report}]==])
set(LUMAR_CASES_CMAKE [==[${CMAKE_COMMAND}]==])
set(LUMAR_CASES_CHECK [==[${LUMAR_TEST_CASES_DIR}/LumarTestCasesCheck.cmake]==])
include([==[${LUMAR_TEST_CASES_DIR}/LumarTestCasesList.cmake]==])
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${list_script}")
endfunction()
