#include "update/install/installer_mutex.h"

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

class Win32InstallerMutexProbe final : public InstallerMutexProbe {
 public:
  InstallerMutex probe() override {
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
};

}  // namespace

std::unique_ptr<InstallerMutexProbe> make_win32_installer_mutex_probe() {
  return std::make_unique<Win32InstallerMutexProbe>();
}

}  // namespace lumar
