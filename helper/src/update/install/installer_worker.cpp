#include "update/install/installer_worker.h"

#include <memory>
#include <utility>

#include "main/base/windows_paths.h"
#include "main/platform/thread_guard.h"
#include "main/service/log_text.h"
#include "main/service/product.h"

namespace lumar {
namespace {

// Exit codes of a successful installation: done, and done but the machine
// wants a restart. 1641 (the installer started a restart) is not success:
// the installer was told not to restart.
bool installer_succeeded(std::uint32_t code) { return code == 0 || code == 3010; }

void append_sessions(std::vector<RecordedSession>& list, std::vector<RecordedSession> more) {
  list.insert(list.end(), std::make_move_iterator(more.begin()),
              std::make_move_iterator(more.end()));
}

// Closes the copies started before now and records who was signed in
// where they ran.
std::vector<RecordedSession> close_and_record(const InstallerContext& context,
                                              std::string_view app_path) {
  return record_sessions(context.sessions,
                         close_app_copies(context.processes, context.log, app_path,
                                          context.clock.system_time_filetime()));
}

// Starts the product's own app, "lumar-desktop.exe" in the install location
// as Windows Installer gives it now, once the installer has ended (it may
// have moved): never the caller's image, whatever that was.
void restart_installed_app(const InstallJob& job, const InstallerContext& context,
                           std::vector<RecordedSession> sessions) {
  const std::optional<std::string> folder = install_location(context.installer, job.upgrade_code);
  if (!folder) {
    context.log.write("install_update: restart the app: no install location for UpgradeCode " +
                      job.upgrade_code);
    return;
  }
  restart_app_in_sessions(context.sessions, context.log, join_path(*folder, kDesktopAppFileName),
                          std::move(sessions));
}

// Starts the helper's own executable with "install", which re-registers the
// service so that the newly installed helper runs.
void hand_over(const InstallerContext& context) {
  const Result<OsString> own = context.files.own_executable_path();
  if (!own.has_value()) return;
  const Status started = context.programs.start_detached(
      *own, command_line(*own, {"install"}, QuoteRule::kProgramAlwaysQuoted));
  if (!started.has_value()) {
    context.log.write("install_update: hand over to " + os_text_lossy(*own) + ": " +
                      started.error());
  }
}

// Runs the installer on the staged package; true when it succeeded.
bool install_package(const InstallJob& job, const InstallerContext& context) {
  const Result<std::uint32_t> exit_code =
      context.installer.install(job.package->path(), job.package->log_path());
  if (!exit_code.has_value()) {
    context.log.write("install_update: " + cut_foreign_piece(job.version) +
                      ": start msiexec: " + exit_code.error());
    return false;
  }
  const bool succeeded = installer_succeeded(*exit_code);
  if (!succeeded) {
    job.package->keep_log();
    context.log.write("install_update: msiexec log kept at " +
                      os_text_lossy(job.package->log_path()));
  }
  context.log.write("install_update: " + cut_foreign_piece(job.version) + ": msiexec exit " +
                    std::to_string(static_cast<std::int32_t>(*exit_code)));
  return succeeded;
}

}  // namespace

void run_installer(InstallJob& job, const InstallerContext& context) {
  const OsString app_path = job.caller.image_path;
  // Recorded at once, while the caller still runs there: the app is started
  // again only for the user whose copy asked.
  std::vector<RecordedSession> sessions =
      record_sessions(context.sessions, {job.caller.session_id});
  if (job.caller.process) {
    // The app was told its update is accepted and should quit by itself.
    const SystemResult<ProcessWait> waited =
        context.processes.wait(job.caller.process, kCallerExitWait);
    if (waited.has_value() && *waited == ProcessWait::kTimedOut) {
      context.log.write("install_update: the app did not exit in time; terminating it");
      (void)context.processes.terminate(job.caller.process, 1);
      (void)context.processes.wait(job.caller.process, kTerminationWait);
    }
  }

  bool installed = false;
  if (job.restart_only || !job.package) {
    // The version is installed already: the caller only wants a fresh start.
    restart_installed_app(job, context, std::move(sessions));
    job.caller.process.reset();
    job.package.reset();  // not installed; kept only until the app is back
  } else {
    // The caller's image is the installed app (acceptance made sure of
    // it), so its copies are the ones to close.
    append_sessions(sessions, close_and_record(context, app_path));
    installed = install_package(job, context);
    // Copies started while the installer ran are closed too.
    append_sessions(sessions, close_and_record(context, app_path));
    restart_installed_app(job, context, std::move(sessions));
    // Released only now that the app is back: if the helper dies anywhere
    // before this, the package is the leftover that tells the recovery at
    // the next service start to bring the app back.
    job.package.reset();  // closes the read handle and deletes the staged file
  }

  job.lease.release();
  // The staged package is gone by now, so the "install" command does not
  // take this update for one still in flight.
  if (installed) hand_over(context);
  job.caller.process.reset();
}

Status ThreadedInstallWorker::start(std::unique_ptr<InstallJob>& job) {
  // The job waits in a slot that both threads hold until the new thread takes
  // it out. A thread that could not be made never ran its body, so the job is
  // still in the slot and goes back to the caller untouched.
  auto slot = std::make_shared<std::unique_ptr<InstallJob>>(std::move(job));
  const InstallerContext context = context_;
  Status started = threads_.start_detached([slot, context] {
    const std::unique_ptr<InstallJob> running = std::move(*slot);
    // Out of memory or the like loses the update, but the job still goes
    // with this frame: its lease gives the service back after the log line.
    (void)guard_thread_body(context.log, "install_update",
                            [&] { run_installer(*running, context); });
  });
  if (!started.has_value()) {
    job = std::move(*slot);
    return fail("start the installer thread: " + started.error());
  }
  return {};
}

}  // namespace lumar
