#include "update/win32/recovery_win32.h"

#include <windows.h>
// aclapi.h needs windows.h before it
#include <aclapi.h>

#include <cstdint>
#include <vector>

#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"
#include "main/windows_paths.h"

namespace lumar {
namespace {

inline void find_close(HANDLE handle) { ::FindClose(handle); }
// Directory searches: INVALID_HANDLE_VALUE means none.
struct FindHandleTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { find_close(handle); }
};
using UniqueFind = UniqueAny<FindHandleTraits>;

std::uint64_t filetime_ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The SID of the account this process runs as; empty when it cannot be read.
std::vector<std::uint8_t> own_account_sid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const UniqueHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (!::IsValidSid(sid)) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return {bytes, bytes + ::GetLengthSid(sid)};
}

class Win32LeftoverFolders final : public LeftoverFolders {
 public:
  explicit Win32LeftoverFolders(StagingFileSystem& staging) : staging_(staging) {}

  std::optional<OsString> staging_folder() const override {
    // The folder packages are staged in, found the same way staging finds it.
    Result<OsString> folder = staging_.staging_folder();
    if (!folder) return std::nullopt;
    return *folder;
  }

  std::optional<std::vector<FolderEntry>> list(const OsString& folder) const override {
    const std::wstring pattern = wide(join_path(folder, "*"));
    WIN32_FIND_DATAW data{};
    UniqueFind search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
    if (!search) return std::nullopt;
    std::vector<FolderEntry> entries;
    do {
      entries.push_back(
          {narrow_keep_surrogates(data.cFileName), filetime_ticks(data.ftLastWriteTime)});
    } while (::FindNextFileW(search.get(), &data));
    return entries;
  }

  // LocalSystem stages the packages; files it creates are owned by SYSTEM
  // or, through its token's default owner, by Administrators. The helper's
  // own account is accepted as well: as a service that is LocalSystem again,
  // and under an emulator with a single user (where every file belongs to
  // that user) it is the account that staged the file.
  bool owned_by_helper(const OsString& path) const override {
    // READ_CONTROL only, sharing everything: neither the contents are read
    // nor a handle that holds the file is disturbed. A link is judged by
    // its own owner, not by its target's.
    const UniqueFile entry(::CreateFileW(
        wide(path).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!entry) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
      return false;
    }
    const UniqueLocal held(descriptor);
    if (owner == nullptr || !::IsValidSid(owner)) return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
        ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
      return true;
    }
    return !own_account_.empty() &&
           ::EqualSid(owner, const_cast<std::uint8_t*>(own_account_.data()));
  }

 private:
  StagingFileSystem& staging_;
  std::vector<std::uint8_t> own_account_ = own_account_sid();
};

class Win32RecoveryHost final : public RecoveryHost {
 public:
  std::optional<ProcessFacts> inspect_process(std::uint32_t pid) override {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    ProcessFacts facts;
    DWORD exit_code = 0;
    if (::GetExitCodeProcess(process.get(), &exit_code)) facts.exit_code = exit_code;
    facts.image_path = process_image_path(process.get());
    return facts;
  }

  InstallerMutex probe_installer_mutex() override {
    UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, wide(kInstallerMutexName).c_str()));
    if (!mutex) return InstallerMutex::kAbsent;
    switch (::WaitForSingleObject(mutex.get(), 0)) {
      case WAIT_OBJECT_0:
      case WAIT_ABANDONED:
        // Taken only to see that nobody holds it; given back at once.
        ::ReleaseMutex(mutex.get());
        return InstallerMutex::kAcquired;
      case WAIT_TIMEOUT:
        return InstallerMutex::kBusy;
      default:
        return InstallerMutex::kFailed;
    }
  }

  bool path_exists(const OsString& path) override {
    return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  void delete_file(const OsString& path) override { ::DeleteFileW(wide(path).c_str()); }

  std::uint32_t console_session() override { return ::WTSGetActiveConsoleSessionId(); }
};

}  // namespace

std::unique_ptr<LeftoverFolders> make_win32_leftover_folders(StagingFileSystem& staging) {
  return std::make_unique<Win32LeftoverFolders>(staging);
}

std::unique_ptr<RecoveryHost> make_win32_recovery_host() {
  return std::make_unique<Win32RecoveryHost>();
}

}  // namespace lumar
