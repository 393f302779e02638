#include "update/recovery/recovery.h"

#include <windows.h>

#include <wtsapi32.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

class Win32RecoveryHost final : public RecoveryHost {
 public:
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

  std::optional<std::uint32_t> console_session() override {
    const DWORD session = ::WTSGetActiveConsoleSessionId();
    // The answer when no session is attached to the console.
    if (session == 0xFFFFFFFF) return std::nullopt;
    return std::uint32_t{session};
  }
};

}  // namespace

std::unique_ptr<RecoveryHost> make_win32_recovery_host() {
  return std::make_unique<Win32RecoveryHost>();
}

}  // namespace lumar
