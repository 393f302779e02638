#include "main/process_queries.h"

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {

namespace {

class Win32ProcessQueries final : public ProcessQueries {
 public:
  SystemResult<ProcessHandle> open_process(std::uint32_t pid) override {
    UniqueProcess handle(::OpenProcess(kAppProcessAccess, FALSE, pid));
    if (!handle) return Unexpected<std::uint32_t>(::GetLastError());
    return to_opaque<ProcessHandle>(std::move(handle));
  }

  SystemResult<OsString> image_path(const ProcessHandle& process) override {
    std::optional<OsString> path = process_image_path(native<UniqueProcess>(process));
    if (!path) return Unexpected<std::uint32_t>(::GetLastError());
    return std::move(*path);
  }

  SystemResult<std::uint32_t> session_id(const ProcessHandle& process) override {
    // The id is asked of the open handle, which keeps it from naming any
    // other process while the handle lives.
    const DWORD pid = ::GetProcessId(native<UniqueProcess>(process));
    DWORD session = 0;
    if (pid == 0 || !::ProcessIdToSessionId(pid, &session)) {
      return Unexpected<std::uint32_t>(::GetLastError());
    }
    return std::uint32_t{session};
  }
};

}  // namespace

std::unique_ptr<ProcessQueries> make_win32_process_queries() {
  return std::make_unique<Win32ProcessQueries>();
}

}  // namespace lumar
