# Included by ctest when it starts (see LumarTestCases.cmake): one line per
# case of LUMAR_CASES_PROGRAM, each requiring the run LUMAR_CASES_NAME.
# A program not built (a build of other targets only) adds no cases; its run
# line reports it.
if(EXISTS "${LUMAR_CASES_PROGRAM}")
  execute_process(COMMAND ${LUMAR_CASES_EMULATOR} "${LUMAR_CASES_PROGRAM}" --gtest_list_tests
    OUTPUT_VARIABLE _lumar_listing RESULT_VARIABLE _lumar_status TIMEOUT 120)
  if(NOT _lumar_status EQUAL 0)
    message(WARNING "${LUMAR_CASES_PROGRAM} --gtest_list_tests failed (${_lumar_status})")
  endif()
  string(REPLACE "\r" "" _lumar_listing "${_lumar_listing}")
  # "Suite.  # TypeParam = ..." and "  Case  # GetParam() = ...": the
  # comments go before the text is split, brackets and all.
  string(REGEX REPLACE "  #[^\n]*" "" _lumar_listing "${_lumar_listing}")
  string(REPLACE ";" "\\;" _lumar_listing "${_lumar_listing}")
  string(REPLACE "\n" ";" _lumar_lines "${_lumar_listing}")
  set(_lumar_suite "")
  foreach(_lumar_line IN LISTS _lumar_lines)
    # "Suite." and then its cases, "  Case".
    if(_lumar_line MATCHES "^([^ ]+)\\.$")
      set(_lumar_suite "${CMAKE_MATCH_1}")
    elseif(_lumar_line MATCHES "^  ([^ ]+)$" AND _lumar_suite)
      set(_lumar_case "${_lumar_suite}.${CMAKE_MATCH_1}")
      if(_lumar_case MATCHES "(^|[./])DISABLED_")
        continue()
      endif()
      add_test("${LUMAR_CASES_NAME}.${_lumar_case}" "${LUMAR_CASES_CMAKE}"
        "-DREPORT=${LUMAR_CASES_REPORT}" "-DCASE=${_lumar_case}" -P "${LUMAR_CASES_CHECK}")
      set_tests_properties("${LUMAR_CASES_NAME}.${_lumar_case}" PROPERTIES
        FIXTURES_REQUIRED "${LUMAR_CASES_NAME}_run"
        SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    endif()
  endforeach()
endif()
