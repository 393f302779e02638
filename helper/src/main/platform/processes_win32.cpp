#include "main/platform/processes.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>

#include "main/base/filetime_win32.h"
#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/platform/process_image_win32.h"

namespace lumar {
namespace {

static_assert(sizeof(PROCESSENTRY32W) == 568, "the snapshot entry of 64-bit Windows");

Unexpected<std::uint32_t> last_error() { return Unexpected(std::uint32_t{::GetLastError()}); }

DWORD access_mask(ProcessAccess access) {
  switch (access) {
    case ProcessAccess::kQuery:
      return PROCESS_QUERY_LIMITED_INFORMATION;
    case ProcessAccess::kControl:
      break;
  }
  // 0x00101001: enough to query the process, wait for it and end it.
  return SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
}

HANDLE handle_of(const ProcessHandle& process) { return native<UniqueProcess>(process); }

class Win32Processes final : public Processes {
 public:
  SystemResult<std::vector<ProcessEntry>> snapshot() override {
    const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return last_error();
    std::vector<ProcessEntry> entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
      const std::size_t length = ::wcsnlen(entry.szExeFile, MAX_PATH);
      entries.push_back(ProcessEntry{
          entry.th32ProcessID, narrow_keep_surrogates(std::wstring_view(entry.szExeFile, length))});
    }
    return entries;
  }

  SystemResult<ProcessHandle> open(std::uint32_t pid, ProcessAccess access) override {
    UniqueProcess handle(::OpenProcess(access_mask(access), FALSE, pid));
    if (!handle) return last_error();
    return to_opaque<ProcessHandle>(std::move(handle));
  }

  SystemResult<OsString> image_path(const ProcessHandle& process) override {
    std::optional<OsString> path = process_image_path(handle_of(process));
    if (!path) return last_error();
    return std::move(*path);
  }

  SystemResult<std::uint32_t> session_id(const ProcessHandle& process) override {
    // The id is asked of the open handle, which keeps it from naming any
    // other process while the handle lives.
    const DWORD pid = ::GetProcessId(handle_of(process));
    DWORD session = 0;
    if (pid == 0 || !::ProcessIdToSessionId(pid, &session)) return last_error();
    return std::uint32_t{session};
  }

  SystemResult<std::uint64_t> creation_time(const ProcessHandle& process) override {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(handle_of(process), &creation, &exit, &kernel, &user)) {
      return last_error();
    }
    return filetime_ticks(creation);
  }

  SystemResult<ProcessLife> still_runs(const ProcessHandle& process) override {
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(handle_of(process), &exit_code)) return last_error();
    // The system's answer while a process runs; a process that ended with
    // this very code looks as if it ran on.
    return exit_code == STILL_ACTIVE ? ProcessLife::kRunning : ProcessLife::kEnded;
  }

  SystemStatus terminate(const ProcessHandle& process, std::uint32_t exit_code) override {
    if (!::TerminateProcess(handle_of(process), exit_code)) return last_error();
    return {};
  }

  SystemResult<ProcessWait> wait(const ProcessHandle& process,
                                 std::chrono::milliseconds limit) override {
    switch (::WaitForSingleObject(handle_of(process), static_cast<DWORD>(limit.count()))) {
      case WAIT_OBJECT_0:
        return ProcessWait::kEnded;
      case WAIT_TIMEOUT:
        return ProcessWait::kTimedOut;
      default:
        return last_error();
    }
  }
};

}  // namespace

std::unique_ptr<Processes> make_win32_processes() { return std::make_unique<Win32Processes>(); }

}  // namespace lumar
