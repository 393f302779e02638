#include "main/win32/child_programs_win32.h"

#include <windows.h>

#include <atomic>
#include <vector>

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

// An inheritable copy, so that the child gets exactly these handles and no
// others of the helper; none when `handle` is no handle.
UniqueHandle inheritable_copy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(copy);
}

struct StandardHandles {
  UniqueHandle input, output, error;
};

Result<UniqueHandle> start(std::string_view program, const std::vector<std::string>& args,
                           const StandardHandles& std_handles) {
  const std::wstring name = wide(program);
  std::wstring line;
  append_argument(line, name);
  for (const std::string& arg : args) {
    line += L' ';
    append_argument(line, wide(arg));
  }
  const std::wstring application = system_tool_path(name);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  std::vector<HANDLE> inherited;
  for (const UniqueHandle* h : {&std_handles.input, &std_handles.output, &std_handles.error}) {
    if (h->valid()) inherited.push_back(h->get());
  }
  DWORD flags = 0;
  std::vector<unsigned char> list_memory;
  UniqueValue<LPPROC_THREAD_ATTRIBUTE_LIST, ::DeleteProcThreadAttributeList, nullptr> list;
  if (!inherited.empty()) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = std_handles.input.get();
    startup.StartupInfo.hStdOutput = std_handles.output.get();
    startup.StartupInfo.hStdError = std_handles.error.get();
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list_memory.resize(size);
    auto* memory = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!::InitializeProcThreadAttributeList(memory, 1, 0, &size))
      return fail(last_os_error_text());
    list.reset(memory);
    if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     inherited.data(), inherited.size() * sizeof(HANDLE), nullptr,
                                     nullptr)) {
      return fail(last_os_error_text());
    }
    startup.lpAttributeList = list.get();
    flags = EXTENDED_STARTUPINFO_PRESENT;  // only says the structure is the extended one
  }

  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(), nullptr,
                        nullptr, inherited.empty() ? FALSE : TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started)) {
    return fail(last_os_error_text());
  }
  ::CloseHandle(started.hThread);
  return UniqueHandle(started.hProcess);
}

Result<std::uint32_t> wait_for_exit(HANDLE process) {
  if (::WaitForSingleObject(process, INFINITE) == WAIT_FAILED) return fail(last_os_error_text());
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return fail(last_os_error_text());
  return std::uint32_t{code};
}

// The output pipe: an overlapped read end for the helper and an inheritable
// write end for the child. A named pipe, because anonymous pipes cannot be
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
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE write_end = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    StandardHandles handles{inheritable_copy(::GetStdHandle(STD_INPUT_HANDLE)),
                            inheritable_copy(::GetStdHandle(STD_OUTPUT_HANDLE)),
                            inheritable_copy(::GetStdHandle(STD_ERROR_HANDLE))};
    Result<UniqueHandle> child = start(program, args, handles);
    if (!child) return fail(child.error());
    return wait_for_exit(child->get());
  }

  Result<CapturedRun> run_captured(std::string_view program,
                                   const std::vector<std::string>& args) override {
    Result<OutputPipe> pipe = make_output_pipe();
    if (!pipe) return fail(pipe.error());
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE empty_input =
        ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                      OPEN_EXISTING, 0, nullptr);
    if (empty_input == INVALID_HANDLE_VALUE) return fail(last_os_error_text());
    StandardHandles handles{UniqueHandle(empty_input), std::move(pipe->write_end),
                            inheritable_copy(nullptr)};
    handles.error = inheritable_copy(handles.output.get());
    Result<UniqueHandle> child = start(program, args, handles);
    // Only the child may hold the write end now, so that its exit ends the
    // output.
    handles = StandardHandles{};
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
