# What makes a Windows executable of the helper fit to ship:
#
#   LUMAR_VERSION                 a.b.c.d, written into each exe's version
#                                 resource (FileVersion, ProductVersion);
#                                 by default the project's version.
#   LUMAR_SIGNING_CERT            PEM certificate chain (signing certificate
#   LUMAR_SIGNING_KEY             first) and its unencrypted PEM private key:
#                                 when both are given, each exe is signed
#                                 (Authenticode, SHA-256) after linking.
#   LUMAR_SIGNING_TIMESTAMP_URL   RFC 3161 time-stamping server for the
#                                 signatures; empty: no time stamp.
#
# Every Windows build carries the version resource and the manifest. A release
# build (LUMAR_RELEASE) also moves the debug information of each exe into
# "<exe>.debug" beside it, tied to the exe by a debug link, and says so
# plainly when it leaves the exes unsigned.

set(LUMAR_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the helper's executables: four numbers a.b.c.d")
if(NOT LUMAR_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "LUMAR_VERSION must be four numbers a.b.c.d, not '${LUMAR_VERSION}'")
endif()
# Each number is a 16-bit field of the binary version, which Windows Installer
# compares; a wider number would be cut silently there.
foreach(_lumar_part IN ITEMS "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_4}")
  string(LENGTH "${_lumar_part}" _lumar_part_length)
  if(_lumar_part_length GREATER 5 OR _lumar_part GREATER 65535)
    message(FATAL_ERROR "LUMAR_VERSION: each number must be at most 65535, not '${LUMAR_VERSION}'")
  endif()
endforeach()
string(REPLACE "." "," _lumar_version_commas "${LUMAR_VERSION}")

if(LUMAR_EDITION STREQUAL "Full")
  set(LUMAR_PRODUCT_NAME "Lumar KQ")
else()
  set(LUMAR_PRODUCT_NAME "Lumar KQ Lite")
endif()

set(LUMAR_SIGNING_CERT "" CACHE FILEPATH "PEM certificate chain to sign the executables with (empty: unsigned)")
set(LUMAR_SIGNING_KEY "" CACHE FILEPATH "Unencrypted PEM private key of LUMAR_SIGNING_CERT")
set(LUMAR_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server for the signatures (empty: none)")

set(_lumar_sign OFF)
if(NOT LUMAR_SIGNING_CERT STREQUAL "" OR NOT LUMAR_SIGNING_KEY STREQUAL "")
  if(LUMAR_SIGNING_CERT STREQUAL "" OR LUMAR_SIGNING_KEY STREQUAL "")
    message(FATAL_ERROR "Signing needs both LUMAR_SIGNING_CERT and LUMAR_SIGNING_KEY.")
  endif()
  foreach(_lumar_file IN ITEMS LUMAR_SIGNING_CERT LUMAR_SIGNING_KEY)
    if(NOT EXISTS "${${_lumar_file}}" OR IS_DIRECTORY "${${_lumar_file}}")
      message(FATAL_ERROR "${_lumar_file}: no such file: ${${_lumar_file}}")
    endif()
  endforeach()
  find_program(LUMAR_OSSLSIGNCODE osslsigncode REQUIRED)
  set(_lumar_sign ON)
  message(STATUS "Executables: version ${LUMAR_VERSION}, signed with ${LUMAR_SIGNING_CERT}")
elseif(LUMAR_RELEASE)
  message(WARNING "The release's lumar-helper.exe and lumar-helper-client.exe will be UNSIGNED: "
    "configure with -DLUMAR_SIGNING_CERT=<PEM certificate chain> -DLUMAR_SIGNING_KEY=<PEM private key> to sign them.")
else()
  message(STATUS "Executables: version ${LUMAR_VERSION}, unsigned")
endif()

if(LUMAR_RELEASE AND NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "A release build needs objcopy to keep the debug information apart.")
endif()

# Gives the executable `target` its version resource and manifest and, as the
# settings above ask, its separate debug file and its signature.
function(lumar_ship_executable target description)
  set(_lumar_name "${target}")
  set(_lumar_file "${target}.exe")
  set(_lumar_description "${description}")
  set(_lumar_manifest "${PROJECT_SOURCE_DIR}/helper/resources/lumar.manifest")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/generated/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/helper/resources/version.rc.in" "${rc}" @ONLY)
  set_source_files_properties("${rc}" PROPERTIES OBJECT_DEPENDS "${_lumar_manifest}")
  target_sources(${target} PRIVATE "${rc}")

  set(exe "$<TARGET_FILE:${target}>")
  set(steps "")
  if(LUMAR_RELEASE)
    # Debug information and symbols out, then the link to them in: the link
    # records the debug file's checksum, so it is made from the final file.
    # --strip-all rather than --strip-debug: the COFF symbol table is no use
    # to Windows and is a third of the stripped exe; the debug file keeps it.
    list(APPEND steps
      COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "${exe}" "${exe}.debug"
      COMMAND "${CMAKE_OBJCOPY}" --strip-all "${exe}"
      COMMAND "${CMAKE_OBJCOPY}" "--add-gnu-debuglink=${exe}.debug" "${exe}")
  endif()
  if(_lumar_sign)
    # Signed last: any later change to the file would break the signature.
    list(APPEND steps COMMAND "${CMAKE_COMMAND}"
      "-DOSSLSIGNCODE=${LUMAR_OSSLSIGNCODE}" "-DEXE=${exe}"
      "-DCERT=${LUMAR_SIGNING_CERT}" "-DKEY=${LUMAR_SIGNING_KEY}"
      "-DNAME=${LUMAR_PRODUCT_NAME}" "-DTIMESTAMP_URL=${LUMAR_SIGNING_TIMESTAMP_URL}"
      -P "${PROJECT_SOURCE_DIR}/cmake/LumarSign.cmake")
    # A new certificate or key signs again, even when no code changed.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${LUMAR_SIGNING_CERT}" "${LUMAR_SIGNING_KEY}")
  elseif(LUMAR_RELEASE)
    list(APPEND steps COMMAND "${CMAKE_COMMAND}" -E echo
      "${_lumar_file} is UNSIGNED (no LUMAR_SIGNING_CERT and LUMAR_SIGNING_KEY)")
  endif()
  if(steps)
    add_custom_command(TARGET ${target} POST_BUILD ${steps} VERBATIM)
  endif()
endfunction()
