// Where a process's image lives, for the adapters: another process's by its
// handle, and the helper's own.
#pragma once

#include <windows.h>

#include <optional>

#include "main/base/expected.h"
#include "main/base/text.h"

namespace lumar {

// The full Win32 path of a process's image, unpaired surrogates kept; nothing
// when the query fails (the caller reads GetLastError).
std::optional<OsString> process_image_path(HANDLE process);

// The running executable's full path (GetModuleFileNameW), or the system's
// description of why it cannot be had.
Result<OsString> own_executable_path();

}  // namespace lumar
