#include "update/app_processes.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

static_assert(sizeof(PROCESSENTRY32W) == 568, "the snapshot entry of 64-bit Windows");

class Win32ProcessSystem final : public ProcessSystem {
 public:
  std::optional<std::vector<ProcessEntry>> snapshot() override {
    const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return std::nullopt;
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

  ProcessHandle open(std::uint32_t pid) override {
    return to_opaque<ProcessHandle>(UniqueProcess(::OpenProcess(kAppProcessAccess, FALSE, pid)));
  }

  std::optional<OsString> image_path(const ProcessHandle& process) override {
    return process_image_path(native<UniqueProcess>(process));
  }

  std::optional<std::uint32_t> session_of(std::uint32_t pid) override {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(pid, &session)) return std::nullopt;
    return session;
  }

  std::optional<std::uint64_t> creation_time(const ProcessHandle& process) override {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(native<UniqueProcess>(process), &creation, &exit, &kernel, &user)) {
      return std::nullopt;
    }
    return (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  }
};

}  // namespace

std::unique_ptr<ProcessSystem> make_win32_process_system() {
  return std::make_unique<Win32ProcessSystem>();
}

}  // namespace lumar
