// Starting a child process that inherits exactly its three standard handles,
// and waiting for it.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "main/base/expected.h"
#include "main/base/unique_any_win32.h"

namespace lumar {

// The helper's own standard input, output and error.
std::array<HANDLE, 3> own_standard_handles();

// The null device, for reading and writing: standard handles that go nowhere.
Result<UniqueFile> open_null_device();

// Waits without limit for the process to end; its exit code, or the
// system's description of why it cannot be had.
Result<std::uint32_t> wait_for_exit(HANDLE process);

// Starts `command_line` (with `application` as the program, or the system's
// search for the command line's first word when it is empty). The child gets
// inheritable copies of `standard` (input, output, error; a missing handle is
// skipped) and no other handle of the helper: the copies are named in the
// attribute list, so nothing another thread made inheritable at the same
// moment leaks into it. The copies are closed again before returning.
Result<UniqueHandle> start_process_with_handles(const std::wstring& application,
                                                std::wstring command_line,
                                                const std::array<HANDLE, 3>& standard);

// The same, telling the helper's own failure to prepare the child's handles
// apart from the system's failure to create the process, for callers to whom
// "the program cannot be started" means something of its own.
struct StartFailure {
  enum class Step { kPrepare, kCreate };
  Step step = Step::kCreate;
  std::string text;  // "{system message} (os error {code})"
};
Expected<UniqueHandle, StartFailure> start_process_with_handles_by_step(
    const std::wstring& application, std::wstring command_line,
    const std::array<HANDLE, 3>& standard);

}  // namespace lumar
