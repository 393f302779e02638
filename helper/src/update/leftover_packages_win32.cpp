#include "update/leftover_packages.h"

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <vector>

#include "main/base/filetime_win32.h"
#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"

namespace lumar {
namespace {

std::vector<std::uint8_t> read_own_account_sid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
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

// Read once, when a scan first needs it: the helper's account does not
// change, and "variant" or "uninstall" never need it at all.
const std::vector<std::uint8_t>& own_account_sid() {
  static const std::vector<std::uint8_t> sid = read_own_account_sid();
  return sid;
}

class Win32LeftoverFolders final : public LeftoverFolders {
 public:
  explicit Win32LeftoverFolders(StagingFolder& staging) : staging_(staging) {}

  Result<OsString> staging_folder() const override { return staging_.staging_folder(); }

  SystemResult<std::vector<FolderEntry>> list(const OsString& folder) const override {
    const std::wstring pattern = wide(join_path(folder, "*"));
    WIN32_FIND_DATAW data{};
    UniqueFind search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
    if (!search) return Unexpected(static_cast<std::uint32_t>(::GetLastError()));
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
    const std::vector<std::uint8_t>& own_account = own_account_sid();
    return !own_account.empty() && ::EqualSid(owner, const_cast<std::uint8_t*>(own_account.data()));
  }

 private:
  StagingFolder& staging_;
};

}  // namespace

std::unique_ptr<LeftoverFolders> make_win32_leftover_folders(StagingFolder& staging) {
  return std::make_unique<Win32LeftoverFolders>(staging);
}

}  // namespace lumar
