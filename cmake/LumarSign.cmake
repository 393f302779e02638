# Signs one executable in place, run by the build after linking:
#   cmake -DOSSLSIGNCODE=… -DEXE=… -DCERT=… -DKEY=… -DNAME=… [-DTIMESTAMP_URL=…] -P LumarSign.cmake
# Authenticode with a SHA-256 digest; NAME is the program name shown with the
# signature. The signed file replaces the exe only once signing succeeded.

set(timestamp "")
if(NOT TIMESTAMP_URL STREQUAL "")
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
file(REMOVE "${EXE}.signed")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" -h sha256 -n "${NAME}" ${timestamp}
    -in "${EXE}" -out "${EXE}.signed"
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  file(REMOVE "${EXE}.signed")
  message(FATAL_ERROR "signing ${EXE} failed (${result})")
endif()
file(RENAME "${EXE}.signed" "${EXE}")
# osslsigncode writes its output without the execute bits the linker gave.
file(CHMOD "${EXE}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
message(STATUS "signed ${EXE}")
