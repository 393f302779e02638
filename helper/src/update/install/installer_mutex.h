// Whether Windows Installer is busy, as its global mutex tells: msiexec
// holds it for as long as an installation runs.
#pragma once

#include <memory>
#include <string_view>

namespace lumar {

inline constexpr std::string_view kInstallerMutexName = "Global\\_MSIExecute";

enum class InstallerMutex {
  kAbsent,    // the mutex does not exist: no installation runs
  kAcquired,  // taken and released again at once: the installer is idle
  kBusy,      // held by Windows Installer
  kFailed,    // the wait failed in another way
};

class InstallerMutexProbe {
 public:
  virtual ~InstallerMutexProbe() = default;
  // One look at "Global\_MSIExecute".
  virtual InstallerMutex probe() = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<InstallerMutexProbe> make_win32_installer_mutex_probe();

}  // namespace lumar
