#include "update/recovery/recovery.h"

#include <algorithm>

#include "main/base/windows_paths.h"
#include "main/service/product.h"
#include "update/app/app_processes.h"
#include "update/install/version.h"
#include "update/staged_name.h"

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
    if (context.installer_mutex.probe() != InstallerMutex::kBusy) return;
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

// A staged file whose helper no longer runs.
bool is_orphan(const OsString& path, Processes& processes) {
  const std::optional<std::uint32_t> owner = staging_owner_pid(path);
  return owner && !is_live_helper(*owner, processes);
}

// Installer logs of helpers that are gone, older than the recent window,
// with no package beside them any more: what a finished or cleared update
// left, which nobody else will ever remove.
std::vector<OsString> stale_logs_beside_no_package(const RecoveryContext& context) {
  std::vector<OsString> stale;
  for (const LeftoverPackage& log :
       list_leftover_logs(context.folders, context.environment, context.clock)) {
    if (is_recent(log) || !is_orphan(log.path, context.processes)) continue;
    if (context.files.path_exists(package_path_of_log(log.path))) continue;
    stale.push_back(log.path);
  }
  return stale;
}

// Says how the interrupted update ended, as far as the installed products
// tell; true when its installer log has nothing left to explain and goes.
bool report_outcome(const RecoveryContext& context, const LeftoverPackage& orphan,
                    const Result<MsiPackageInfo>& package,
                    const std::optional<ProductVariant>& edition) {
  // Not a package of ours, or one that cannot be read: no installer could
  // have run on it, so its log is an empty placeholder.
  if (!edition) return true;
  const std::string product(edition->product_name);
  const std::optional<std::string> installed =
      installed_version(context.installer, package->upgrade_code);
  const std::string prefix = "service: interrupted update to " + package->product_version + ": ";
  context.log.write(prefix + product +
                    (installed ? " " + *installed + " is installed" : " is not installed"));
  if (installed && compare_versions(package->product_version, *installed) == VersionOrder::kEqual) {
    return true;
  }
  const OsString log = installer_log_path(orphan.path);
  if (context.files.path_exists(log)) {
    context.log.write("service: msiexec log kept at " + os_text_lossy(log));
  }
  return false;
}

void start_apps_in_console(const RecoveryContext& context, const std::vector<OsString>& apps) {
  const std::optional<std::uint32_t> console = context.sessions.console_session();
  if (!console) return;
  for (const OsString& app : apps) {
    if (!context.files.path_exists(app)) continue;
    if (app_runs_in_session(context.processes, app, *console)) continue;
    const Status started = start_app_in_session(context.sessions, *console, app);
    if (started.has_value()) {
      context.log.write("service: started " + os_text_lossy(app) + " after an interrupted update");
    } else {
      context.log.write("service: start the app after an interrupted update: " + started.error());
    }
  }
}

}  // namespace

bool is_live_helper(std::uint32_t pid, Processes& processes) {
  // Another program's process: nothing here waits for it or ends it.
  const SystemResult<ProcessHandle> process = processes.open(pid, ProcessAccess::kQuery);
  if (!process.has_value()) return false;
  const SystemResult<ProcessLife> life = processes.still_runs(*process);
  if (!life.has_value() || *life != ProcessLife::kRunning) return false;
  const SystemResult<OsString> image = processes.image_path(*process);
  if (!image.has_value()) return false;
  return has_file_name(*image, kHelperExeName);
}

void recover_interrupted_update(const RecoveryContext& context) {
  Files& files = context.files;

  std::vector<LeftoverPackage> orphans;
  for (LeftoverPackage& package :
       list_leftover_packages(context.folders, context.environment, context.clock)) {
    if (is_orphan(package.path, context.processes)) orphans.push_back(std::move(package));
  }
  // Judged before any package goes, so that a log kept beside a leftover
  // below is not taken for one beside no package.
  const std::vector<OsString> orphan_logs = stale_logs_beside_no_package(context);
  if (orphans.empty() && orphan_logs.empty()) return;

  std::vector<const LeftoverPackage*> recent;
  for (const LeftoverPackage& orphan : orphans) {
    if (is_recent(orphan)) recent.push_back(&orphan);
  }
  if (!recent.empty()) wait_for_idle_installer(context);

  std::vector<OsString> app_paths;
  std::vector<OsString> doomed_logs = orphan_logs;
  for (const LeftoverPackage& orphan : orphans) {
    const Result<MsiPackageInfo> package = context.installer.read_package_properties(orphan.path);
    const std::optional<ProductVariant> edition =
        package.has_value() ? classify_upgrade_code(package->upgrade_code) : std::nullopt;
    if (report_outcome(context, orphan, package, edition)) {
      doomed_logs.push_back(installer_log_path(orphan.path));
    }
    // Only a recent package of one of the two editions may name the app to
    // start: the app belongs to whichever product it updates.
    if (!edition || !is_recent(orphan)) continue;
    const std::optional<std::string> folder =
        install_location(context.installer, package->upgrade_code);
    if (!folder) continue;
    app_paths.push_back(join_path(*folder, kDesktopAppFileName));
  }
  std::sort(app_paths.begin(), app_paths.end(),
            [](const OsString& a, const OsString& b) { return ascii_lower(a) < ascii_lower(b); });
  app_paths.erase(std::unique(app_paths.begin(), app_paths.end(), equal_ascii_ci), app_paths.end());

  // The app first, the leftovers after: should this helper die in between,
  // the leftovers still tell the next start to bring the app back.
  start_apps_in_console(context, app_paths);
  for (const LeftoverPackage& orphan : orphans) files.delete_file(orphan.path);
  for (const OsString& log : doomed_logs) {
    if (context.folders.owned_by_helper(log)) files.delete_file(log);
  }
}

}  // namespace lumar
