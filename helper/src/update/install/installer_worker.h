// The installer worker: after an update has been accepted it waits for the
// app to quit, closes its other copies, runs Windows Installer silently on
// the staged package, starts the app again wherever it ran and, after a
// successful installation, hands over to the newly installed helper.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/clock.h"
#include "main/platform/files.h"
#include "main/platform/process_start.h"
#include "main/platform/processes.h"
#include "main/platform/thread_starter.h"
#include "main/service/helper_log.h"
#include "update/app/app_sessions.h"
#include "update/install/install_job.h"
#include "update/install/windows_installer.h"

namespace lumar {

// How long the app that asked for the update is given to quit by itself.
inline constexpr std::chrono::milliseconds kCallerExitWait{60000};

// Everything the worker uses. The references must outlive every worker thread.
struct InstallerContext {
  Processes& processes;
  SessionSystem& sessions;
  WindowsInstaller& installer;
  ProgramStarter& programs;  // the hand-over to the new helper
  Files& files;
  HelperLog& log;
  const Clock& clock;
};

// Carries out the job to its end: the caller's handle, the staged package
// and the lease are each released at their step. Meant to run on a thread
// of its own; every outcome is reported in the log only. Whatever an
// exception leaves in the job goes with the job.
void run_installer(InstallJob& job, const InstallerContext& context);

// Runs run_installer on a new thread for each job it is given.
class ThreadedInstallWorker final : public InstallWorker {
 public:
  // What `context` and `threads` refer to must outlive every worker thread.
  ThreadedInstallWorker(InstallerContext context, ThreadStarter& threads)
      : context_(context), threads_(threads) {}

  // Moves the job into a new thread; when the thread cannot be created the
  // job is given back untouched with "start the installer thread: {reason}".
  Status start(std::unique_ptr<InstallJob>& job) override;

 private:
  InstallerContext context_;
  ThreadStarter& threads_;
};

}  // namespace lumar
