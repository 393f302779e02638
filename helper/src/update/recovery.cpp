#include "update/recovery.h"

#include <algorithm>

#include "main/base/windows_paths.h"
#include "main/product.h"
#include "update/app_processes.h"

namespace lumar {
namespace {

// Waits while Windows Installer holds its mutex, at most about ten minutes.
// How the wait ends does not matter to the caller.
void wait_for_idle_installer(const RecoveryContext& context) {
  const auto started = context.clock.monotonic_now();
  for (;;) {
    const auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(context.clock.monotonic_now() - started);
    if (waited >= kInstallerWaitLimit) return;
    if (context.host.probe_installer_mutex() != InstallerMutex::kBusy) return;
    context.clock.sleep_for(kInstallerPollInterval);
  }
}

// Lists the copies and closes every handle again either way.
bool app_runs_in_session(Processes& processes, const OsString& app, std::uint32_t session) {
  for (const AppInstance& copy : find_app_instances(processes, app)) {
    if (copy.session_id == session) return true;
  }
  return false;
}

}  // namespace

bool is_live_helper(std::uint32_t pid, Processes& processes) {
  // Another program's process: nothing here waits for it or ends it.
  const SystemResult<ProcessHandle> process = processes.open(pid, ProcessAccess::kQuery);
  if (!process) return false;
  const SystemResult<bool> runs = processes.still_runs(*process);
  if (!runs || !*runs) return false;
  const SystemResult<OsString> image = processes.image_path(*process);
  if (!image) return false;
  return has_file_name(*image, kHelperExeName);
}

void recover_interrupted_update(const RecoveryContext& context) {
  RecoveryHost& host = context.host;

  std::vector<LeftoverPackage> orphans;
  for (LeftoverPackage& package :
       list_leftover_packages(context.folders, context.environment, context.clock)) {
    const std::optional<std::uint32_t> owner = staging_owner_pid(package.path);
    if (owner && !is_live_helper(*owner, context.processes)) {
      orphans.push_back(std::move(package));
    }
  }
  if (orphans.empty()) return;

  std::vector<const LeftoverPackage*> recent;
  for (const LeftoverPackage& orphan : orphans) {
    if (is_recent(orphan)) recent.push_back(&orphan);
  }
  if (!recent.empty()) wait_for_idle_installer(context);

  // The app belongs to whichever product the interrupted package updates.
  std::vector<OsString> app_paths;
  for (const LeftoverPackage* orphan : recent) {
    const Result<MsiPackageInfo> package = context.installer.read_package_properties(orphan->path);
    // Only a package of one of the two editions may name the app to start.
    if (!package || !classify_upgrade_code(package->upgrade_code)) continue;
    const std::optional<std::string> folder =
        install_location(context.installer, package->upgrade_code);
    if (!folder) continue;
    app_paths.push_back(join_path(*folder, kDesktopAppFileName));
  }
  std::sort(app_paths.begin(), app_paths.end(),
            [](const OsString& a, const OsString& b) { return ascii_lower(a) < ascii_lower(b); });
  app_paths.erase(std::unique(app_paths.begin(), app_paths.end(), equal_ascii_ci), app_paths.end());

  for (const LeftoverPackage& orphan : orphans) host.delete_file(orphan.path);

  const std::optional<std::uint32_t> console = host.console_session();
  if (!console) return;
  for (const OsString& app : app_paths) {
    if (!host.path_exists(app)) continue;
    if (app_runs_in_session(context.processes, app, *console)) continue;
    const Status started = start_app_in_session(context.sessions, *console, app);
    if (started) {
      context.log.write("service: started " + os_text_lossy(app) + " after an interrupted update");
    } else {
      context.log.write("service: start the app after an interrupted update: " + started.error());
    }
  }
}

}  // namespace lumar
