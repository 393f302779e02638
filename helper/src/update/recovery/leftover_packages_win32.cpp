#include "update/recovery/leftover_packages.h"

#include <windows.h>

#include <cstdint>
#include <vector>

#include "main/base/filetime_win32.h"
#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "update/acceptance/staging_win32.h"

namespace lumar {
namespace {

class Win32LeftoverFolders final : public LeftoverFolders {
 public:
  explicit Win32LeftoverFolders(StagingFolder& staging) : staging_(staging) {}

  // Where staging_folder() makes it, but not made here: a scan changes
  // nothing on the disk.
  Result<OsString> staging_folder() const override {
    Result<OsString> temp = staging_.temp_folder();
    if (!temp.has_value()) return temp;
    return join_path(*temp, kPrivateStagingFolderName);
  }
  Result<OsString> temp_folder() const override { return staging_.temp_folder(); }

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
    return entry && owned_by_helper_side(entry.get());
  }

 private:
  StagingFolder& staging_;
};

}  // namespace

std::unique_ptr<LeftoverFolders> make_win32_leftover_folders(StagingFolder& staging) {
  return std::make_unique<Win32LeftoverFolders>(staging);
}

}  // namespace lumar
