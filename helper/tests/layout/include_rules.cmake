# Checks the two include rules of the source tree, and fails naming every
# file that breaks one:
#  - nothing under src/main but the entry point includes "update/...", so the
#    request channel and the service never depend on the update side;
#  - only the Win32 adapters (*_win32.cpp), the headers private to them
#    (*_win32.h) and the entry point include <windows.h> or the other Win32
#    headers, so the portable logic builds and is tested natively.
#
#   cmake -DSOURCE_DIR=<helper/src> -P include_rules.cmake

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "include_rules: SOURCE_DIR not set")
endif()

set(win32_headers "windows|winsvc|winternl|wtsapi32|userenv|msi|msiquery|sddl|aclapi|tlhelp32|psapi|shlobj|winioctl|ntstatus|accctrl")
set(broken "")

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp" "${SOURCE_DIR}/*.inc")
foreach(file IN LISTS sources)
  file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  set(in_entry FALSE)
  if(file MATCHES "^main/entry/")
    set(in_entry TRUE)
  endif()
  foreach(line IN LISTS includes)
    if(file MATCHES "^main/" AND NOT in_entry AND line MATCHES "[<\"]update/")
      list(APPEND broken "${file}: includes the update side: ${line}")
    endif()
    if(line MATCHES "<(${win32_headers})\\.h>" AND NOT in_entry
       AND NOT file MATCHES "_win32\\.(cpp|h)$")
      list(APPEND broken "${file}: includes a Win32 header outside an adapter: ${line}")
    endif()
  endforeach()
endforeach()

if(broken)
  list(JOIN broken "\n" report)
  message(FATAL_ERROR "include rules broken:\n${report}")
endif()
list(LENGTH sources count)
message(STATUS "include rules hold in ${count} files")
