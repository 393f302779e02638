#include "main/host_actions/child_programs.h"

#include <windows.h>

#include <array>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "main/platform/process_start_win32.h"

namespace lumar {
namespace {

// The tools live in the system folder and are run from there only: a
// search would find a copy planted in the current folder, the helper's own
// or a folder on the path that a user may write, and run it with the
// helper's rights. Empty when the tool is not there.
std::wstring system_tool_path(std::wstring_view name) {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring path(folder, n);
  path += L'\\';
  path += name;
  path += L".exe";
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  return path;
}

Expected<UniqueHandle, StartFailure> start(std::string_view program,
                                           const std::vector<std::string>& args,
                                           const std::array<HANDLE, 3>& standard) {
  const std::wstring path = system_tool_path(wide(program));
  if (path.empty()) {
    return Unexpected(
        StartFailure{StartFailure::Step::kCreate, os_error_text(ERROR_FILE_NOT_FOUND)});
  }
  return start_process_with_handles_by_step(path, wide(command_line(program, args)), standard);
}

// The output pipe. Anonymous, so it has no name that another process could
// create first or open: only the helper and the child ever hold an end.
// Neither end is inheritable; the child gets an inheritable copy of the
// write end alone, through the handle list of the start.
struct OutputPipe {
  UniqueHandle read_end;
  UniqueHandle write_end;
};

Result<OutputPipe> make_output_pipe() {
  OutputPipe pipe;
  if (!::CreatePipe(pipe.read_end.put(), pipe.write_end.put(), nullptr, 0)) {
    return fail(last_os_error_text());
  }
  return pipe;
}

// Reads while the child runs, so that a child with much to say never blocks
// on a full pipe, until end-of-file: that comes when the child, the only
// other holder of the write end, has ended (the system's tools hand no
// handle on to children of their own).
Status read_to_end(HANDLE pipe, std::string& out) {
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE) return {};
      return fail(os_error_text(error));
    }
    out.append(buffer, n);
  }
}

class Win32ChildPrograms final : public ChildPrograms {
 public:
  Result<std::uint32_t> run(std::string_view program,
                            const std::vector<std::string>& args) override {
    auto child = start(program, args, own_standard_handles());
    if (!child.has_value()) return fail(std::move(child).error().text);
    return wait_for_exit(child->get());
  }

  Expected<CapturedRun, CaptureError> run_captured(std::string_view program,
                                                   const std::vector<std::string>& args) override {
    // Everything but the system's refusal to create the process is a failure
    // of the helper's own, which a caller must not take for silence.
    auto own_failure = [](std::string text) {
      return Unexpected(CaptureError{CaptureError::Kind::kCaptureFailed, std::move(text)});
    };
    Result<OutputPipe> pipe = make_output_pipe();
    if (!pipe.has_value()) return own_failure(pipe.error());
    const Result<UniqueFile> empty_input = open_null_device();
    if (!empty_input.has_value()) return own_failure(empty_input.error());
    const HANDLE output = pipe->write_end.get();
    auto child = start(program, args, {empty_input->get(), output, output});
    // Only the child may hold the write end now, so that its exit ends the
    // output.
    pipe->write_end.reset();
    if (!child.has_value()) {
      if (child.error().step == StartFailure::Step::kCreate) {
        return Unexpected(CaptureError{CaptureError::Kind::kNotStarted, child.error().text});
      }
      return own_failure(child.error().text);
    }
    CapturedRun result;
    if (Status read = read_to_end(pipe->read_end.get(), result.output); !read.has_value()) {
      return own_failure(read.error());
    }
    Result<std::uint32_t> code = wait_for_exit(child->get());
    if (!code.has_value()) return own_failure(code.error());
    result.exit_code = *code;
    return result;
  }
};

}  // namespace

std::unique_ptr<ChildPrograms> make_win32_child_programs() {
  return std::make_unique<Win32ChildPrograms>();
}

}  // namespace lumar
