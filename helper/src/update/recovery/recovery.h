// Finishing an update that outlived the helper which started it.
//
// Every staged package is named after the helper that staged it (see
// update/staged_name.h), and the installer worker deletes it when done. So a
// package whose helper no longer runs is the trace of an interrupted update:
// at the next service start the recovery waits for Windows Installer to be
// idle, starts the app again where the update had closed it, says how the
// update ended, and deletes the leftovers. The same scan tells "install" whether an update is in
// flight.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/clock.h"
#include "main/platform/environment.h"
#include "main/platform/files.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"
#include "update/app/app_sessions.h"
#include "update/install/installer_mutex.h"
#include "update/install/windows_installer.h"
#include "update/recovery/leftover_packages.h"

namespace lumar {

// The wait for Windows Installer goes on while at most 599 whole seconds
// have passed, looking at its mutex every 2 seconds.
inline constexpr std::chrono::seconds kInstallerWaitLimit{600};
inline constexpr std::chrono::seconds kInstallerPollInterval{2};

// True only for a running process whose image file is "lumar-helper.exe".
// The process is opened for queries alone.
bool is_live_helper(std::uint32_t pid, Processes& processes);

struct RecoveryContext {
  const LeftoverFolders& folders;
  Files& files;
  WindowsInstaller& installer;
  InstallerMutexProbe& installer_mutex;
  Processes& processes;
  SessionSystem& sessions;
  const Environment& environment;
  const Clock& clock;
  HelperLog& log;
};

// Run once per service start, beside the pipe server. For each leftover of
// one of the two editions it logs which version the update was for and what
// is installed now, keeps the installer's log when that version is not the
// installed one (and says where it is), and deletes the log otherwise; it
// logs the start of the app (or its failure), and deletes the leftovers and
// any old installer log of a gone helper that has no package beside it.
void recover_interrupted_update(const RecoveryContext& context);

}  // namespace lumar
