#include "update/win32/recovery_win32.h"

#include <windows.h>

#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"
#include "update/win32/staging_win32.h"

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

class Win32LeftoverFolders final : public LeftoverFolders {
 public:
  std::optional<OsString> staging_folder() const override {
    // The folder packages are staged in, found the same way staging finds it.
    Result<OsString> folder = staging_->staging_folder();
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

 private:
  std::unique_ptr<StagingFileSystem> staging_ = make_win32_staging_file_system();
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

std::unique_ptr<LeftoverFolders> make_win32_leftover_folders() {
  return std::make_unique<Win32LeftoverFolders>();
}

std::unique_ptr<RecoveryHost> make_win32_recovery_host() {
  return std::make_unique<Win32RecoveryHost>();
}

}  // namespace lumar
