#include "main/win32/child_programs_win32.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <vector>

#include "main/win32/process_start_win32.h"
#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"

namespace lumar {
namespace {

// One argument as the C runtime's command-line parser will split it back.
void append_argument(std::wstring& line, std::wstring_view arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// The tools live in the system folder. Looking there first means a copy
// planted in the current or the helper's own folder is never run with the
// helper's rights; anything else is left to the system's own search.
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

Result<UniqueHandle> start(std::string_view program, const std::vector<std::string>& args,
                           const std::array<HANDLE, 3>& standard) {
  const std::wstring name = wide(program);
  std::wstring line;
  append_argument(line, name);
  for (const std::string& arg : args) {
    line += L' ';
    append_argument(line, wide(arg));
  }
  return start_process_with_handles(system_tool_path(name), std::move(line), standard);
}

Result<std::uint32_t> wait_for_exit(HANDLE process) {
  if (::WaitForSingleObject(process, INFINITE) == WAIT_FAILED) return fail(last_os_error_text());
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return fail(last_os_error_text());
  return std::uint32_t{code};
}

// The output pipe: an overlapped read end for the helper and a
// write end the child gets a copy of. A named pipe, because anonymous pipes cannot be
// read with a wait on the child at the same time.
struct OutputPipe {
  UniqueFile read_end;
  UniqueHandle write_end;
};

Result<OutputPipe> make_output_pipe() {
  static std::atomic<unsigned> counter{0};
  const std::wstring name = L"\\\\.\\pipe\\lumar-helper-child-output-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter.fetch_add(1));
  OutputPipe pipe;
  pipe.read_end.reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536, 0,
      nullptr));
  if (!pipe.read_end) return fail(last_os_error_text());
  const HANDLE write_end = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (write_end == INVALID_HANDLE_VALUE) return fail(last_os_error_text());
  pipe.write_end.reset(write_end);
  return pipe;
}

// Reads until the child has ended and every byte it wrote has been taken.
// Ending at the child's exit rather than only at end-of-file keeps a copy of
// the write end that another process came to hold from hanging the read.
void collect_output(HANDLE pipe, HANDLE process, std::string& out) {
  const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return;
  char buffer[4096];
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    ::ResetEvent(event.get());
    DWORD n = 0;
    if (!::ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      return;  // end-of-file: every writer has gone
    }
    const HANDLE waits[] = {event.get(), process};
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe, &overlapped);
      if (::GetOverlappedResult(pipe, &overlapped, &n, TRUE)) out.append(buffer, n);
      break;
    }
    if (!::GetOverlappedResult(pipe, &overlapped, &n, FALSE)) return;
    out.append(buffer, n);
  }
  // The child has ended: take what it left in the pipe, without waiting.
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    ::ResetEvent(event.get());
    DWORD n = 0;
    const DWORD want = available < sizeof buffer ? available : DWORD{sizeof buffer};
    if (!::ReadFile(pipe, buffer, want, nullptr, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      return;
    }
    if (!::GetOverlappedResult(pipe, &overlapped, &n, TRUE)) return;
    out.append(buffer, n);
  }
}

class Win32ChildPrograms final : public ChildPrograms {
 public:
  Result<std::uint32_t> run(std::string_view program,
                            const std::vector<std::string>& args) override {
    Result<UniqueHandle> child =
        start(program, args,
              {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
               ::GetStdHandle(STD_ERROR_HANDLE)});
    if (!child) return fail(child.error());
    return wait_for_exit(child->get());
  }

  Result<CapturedRun> run_captured(std::string_view program,
                                   const std::vector<std::string>& args) override {
    Result<OutputPipe> pipe = make_output_pipe();
    if (!pipe) return fail(pipe.error());
    const UniqueFile empty_input(::CreateFileW(L"NUL", GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (!empty_input) return fail(last_os_error_text());
    const HANDLE output = pipe->write_end.get();
    Result<UniqueHandle> child = start(program, args, {empty_input.get(), output, output});
    // Only the child may hold the write end now, so that its exit ends the
    // output.
    pipe->write_end.reset();
    if (!child) return fail(child.error());
    CapturedRun result;
    collect_output(pipe->read_end.get(), child->get(), result.output);
    Result<std::uint32_t> code = wait_for_exit(child->get());
    if (!code) return fail(code.error());
    result.exit_code = *code;
    return result;
  }
};

}  // namespace

std::unique_ptr<ChildPrograms> make_win32_child_programs() {
  return std::make_unique<Win32ChildPrograms>();
}

}  // namespace lumar
