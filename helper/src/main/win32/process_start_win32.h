// Starting a child process that inherits exactly its three standard handles.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "main/expected.h"
#include "main/win32/win32_handle.h"

namespace lumar {

// Starts `command_line` (with `application` as the program, or the system's
// search for the command line's first word when it is empty). The child gets
// inheritable copies of `standard` (input, output, error; a missing handle is
// skipped) and no other handle of the helper: the copies are named in the
// attribute list, so nothing another thread made inheritable at the same
// moment leaks into it. The copies are closed again before returning.
Result<UniqueHandle> start_process_with_handles(const std::wstring& application,
                                                std::wstring command_line,
                                                const std::array<HANDLE, 3>& standard);

}  // namespace lumar
