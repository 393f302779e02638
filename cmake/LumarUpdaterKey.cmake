# The updater key built into the helper: the minisign public key whose
# signatures the helper accepts on update packages.
#
#   LUMAR_UPDATER_KEY_FILE  path of the product's minisign public-key file
#                           (as written by `minisign -G`). Empty: the test key
#                           under helper/tests/data/test-key, for development.
#   LUMAR_RELEASE           ON for a build that ships: the key file must then
#                           be given and must not be one of the test keys.
#
# The file's text is stored in the helper as Base64, in generated/updater_key.h.

set(LUMAR_UPDATER_KEY_FILE "" CACHE FILEPATH "minisign public-key file of the product's updater key (empty: the test key)")
option(LUMAR_RELEASE "Build for release: requires a product updater key, refuses the test keys" OFF)

set(_lumar_test_key_dir "${PROJECT_SOURCE_DIR}/helper/tests/data/test-key")
set(_lumar_key_file "${LUMAR_UPDATER_KEY_FILE}")
if(_lumar_key_file STREQUAL "")
  if(LUMAR_RELEASE)
    message(FATAL_ERROR "A release build needs the product's updater key: "
      "configure with -DLUMAR_UPDATER_KEY_FILE=<path of the minisign public-key file>.")
  endif()
  set(_lumar_key_file "${_lumar_test_key_dir}/lumar-test-updater.pub")
endif()
get_filename_component(_lumar_key_file "${_lumar_key_file}" ABSOLUTE)
if(NOT EXISTS "${_lumar_key_file}" OR IS_DIRECTORY "${_lumar_key_file}")
  message(FATAL_ERROR "LUMAR_UPDATER_KEY_FILE: no such file: ${_lumar_key_file}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_lumar_key_file}")

# A public-key file as minisign writes it: an untrusted comment naming the key
# id, then the 42-byte key record (tag "Ed", key id, Ed25519 key) in Base64.
file(READ "${_lumar_key_file}" _lumar_key_text)
if(NOT _lumar_key_text MATCHES "^untrusted comment: [^\r\n]*\r?\n(RW[A-Za-z0-9+/]+)\r?\n$")
  message(FATAL_ERROR "LUMAR_UPDATER_KEY_FILE is not a minisign public-key file: ${_lumar_key_file}")
endif()
set(_lumar_key_record "${CMAKE_MATCH_1}")
string(LENGTH "${_lumar_key_record}" _lumar_record_length)
if(NOT _lumar_record_length EQUAL 56)
  message(FATAL_ERROR "LUMAR_UPDATER_KEY_FILE holds no Ed25519 key record: ${_lumar_key_file}")
endif()

if(LUMAR_RELEASE)
  # Compare key records, not paths: a copied test key is still a test key.
  file(GLOB _lumar_test_keys "${_lumar_test_key_dir}/*.pub")
  foreach(_lumar_test_key IN LISTS _lumar_test_keys)
    file(READ "${_lumar_test_key}" _lumar_test_text)
    if(_lumar_test_text MATCHES "\n(RW[A-Za-z0-9+/]+)\r?\n$" AND CMAKE_MATCH_1 STREQUAL _lumar_key_record)
      message(FATAL_ERROR "LUMAR_UPDATER_KEY_FILE is a test key (${_lumar_test_key}); "
        "a release build needs the product's own updater key.")
    endif()
  endforeach()
endif()

# Base64 of the file's bytes, standard alphabet with "=" padding.
function(_lumar_base64 hex out_var)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" hex_length)
  set(encoded "")
  set(pos 0)
  while(pos LESS hex_length)
    string(SUBSTRING "${hex}" ${pos} 6 group)
    string(LENGTH "${group}" group_length)
    math(EXPR bytes "${group_length} / 2")
    # Pad the group to three bytes; the padded symbols become "=" below.
    while(group_length LESS 6)
      string(APPEND group "0")
      math(EXPR group_length "${group_length} + 1")
    endwhile()
    math(EXPR value "0x${group}")
    math(EXPR symbols "${bytes} + 1")
    foreach(index RANGE 0 3)
      if(index LESS symbols)
        math(EXPR shift "18 - 6 * ${index}")
        math(EXPR digit "(${value} >> ${shift}) & 63")
        string(SUBSTRING "${alphabet}" ${digit} 1 symbol)
        string(APPEND encoded "${symbol}")
      else()
        string(APPEND encoded "=")
      endif()
    endforeach()
    math(EXPR pos "${pos} + 6")
  endwhile()
  set(${out_var} "${encoded}" PARENT_SCOPE)
endfunction()

file(READ "${_lumar_key_file}" _lumar_key_hex HEX)
_lumar_base64("${_lumar_key_hex}" LUMAR_UPDATER_KEY_BASE64)
string(REGEX MATCH "[0-9A-Fa-f]+\r?\n" _lumar_key_id "${_lumar_key_text}")
string(STRIP "${_lumar_key_id}" _lumar_key_id)
message(STATUS "Updater key: ${_lumar_key_id} (${_lumar_key_file})")

file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/generated/updater_key.h" @ONLY CONTENT [[
// Made at configure time from LUMAR_UPDATER_KEY_FILE; do not edit.
#pragma once

#include <string_view>

namespace lumar {

// The updater key @_lumar_key_id@: Base64 of its minisign public-key file.
inline constexpr std::string_view kUpdaterKeyBase64 =
    "@LUMAR_UPDATER_KEY_BASE64@";

}  // namespace lumar
]])
