// lumar-helper.exe: builds the helper from its parts and hands the command
// line to the portable entry.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "main/base/text_win32.h"
#include "main/channel/caller_step.h"
#include "main/channel/client_files.h"
#include "main/channel/dispatcher.h"
#include "main/channel/pipe.h"
#include "main/channel/pipe_server.h"
#include "main/host_actions/child_programs.h"
#include "main/host_actions/hosts_file.h"
#include "main/host_actions/system_host_actions.h"
#include "main/platform/clock.h"
#include "main/platform/environment.h"
#include "main/platform/files.h"
#include "main/platform/log_file.h"
#include "main/platform/process_exit.h"
#include "main/platform/process_start.h"
#include "main/platform/processes.h"
#include "main/platform/thread_starter.h"
#include "main/service/command_line.h"
#include "main/service/helper_log.h"
#include "main/service/product.h"
#include "main/service/service_control_state.h"
#include "main/service/service_registration.h"
#include "main/service/service_runtime.h"
#include "update/acceptance/signed_update_acceptor.h"
#include "update/acceptance/staging.h"
#include "update/app/app_sessions.h"
#include "update/install/installer_mutex.h"
#include "update/install/installer_worker.h"
#include "update/install/windows_installer.h"
#include "update/recovery/leftover_packages.h"
#include "update/recovery/recovery.h"

namespace lumar {
namespace {

// Whether a process is the application, by its image's file name: the check
// the update acceptance makes of a caller.
bool is_app_process(Processes& processes, std::uint32_t pid) {
  const SystemResult<ProcessHandle> process = processes.open(pid, ProcessAccess::kQuery);
  if (!process.has_value()) return false;
  const SystemResult<OsString> image = processes.image_path(*process);
  return image.has_value() && is_app_image(*image);
}

// Everything the helper is made of, each adapter built once and every part
// handed references to it. It lives for the process's life, so the detached
// threads (pipe server, recovery, installer workers) never outlive what they
// use.
struct Helper {
  std::unique_ptr<Environment> environment = make_win32_environment();
  std::unique_ptr<Clock> clock = make_win32_clock();
  std::unique_ptr<LogFile> log_file = make_win32_log_file();
  HelperLog log{*environment, *clock, *log_file};
  std::unique_ptr<Console> console = make_win32_console();
  std::unique_ptr<ProcessExit> process_exit = make_win32_process_exit();
  std::unique_ptr<ClientFiles> client_files = make_win32_client_files();
  std::unique_ptr<Processes> processes = make_win32_processes();
  std::unique_ptr<Files> files = make_win32_files();
  ServiceControlState control_state;

  // The system side of updates: staging, Windows Installer, sessions, the
  // hand-over.
  std::unique_ptr<StagingFolder> staging_files = make_win32_staging_folder();
  std::unique_ptr<LeftoverFolders> leftover_folders = make_win32_leftover_folders(*staging_files);
  std::unique_ptr<WindowsInstaller> installer = make_win32_windows_installer(*environment);
  std::unique_ptr<SessionSystem> sessions = make_win32_session_system();
  std::unique_ptr<InstallerMutexProbe> installer_mutex = make_win32_installer_mutex_probe();
  std::unique_ptr<ProgramStarter> programs = make_win32_program_starter();

  // The service manager's side.
  std::unique_ptr<ServiceManager> service_manager = make_win32_service_manager();
  std::unique_ptr<ServiceHandlerRegistrar> handler_registrar = make_win32_handler_registrar();

  // Only a full-edition helper carries the host actions; the Lite gate
  // stops those requests before they could reach them.
  std::unique_ptr<HostActions> host_actions =
      helper_edition() == Edition::kFull
          ? std::make_unique<SystemHostActions>(make_win32_child_programs(),
                                                make_win32_hosts_file(), *environment)
          : nullptr;
  StdThreadStarter threads;
  ThreadedInstallWorker install_worker{
      InstallerContext{*processes, *sessions, *installer, *programs, *files, log, *clock}, threads};
  SignedUpdateAcceptor updates{UpdateAcceptorContext{control_state, log, *clock, *staging_files,
                                                     *installer, *processes, install_worker}};
  CallerStep caller_step{*client_files, *processes, log, *process_exit, *clock};
  Dispatcher dispatcher{helper_edition(), host_actions.get(), caller_step, updates, log};
  std::unique_ptr<PipeInstances> pipe_instances = make_win32_pipe_instances(log);
  PipeServer pipe_server{*pipe_instances, dispatcher, log, *clock,
                         [this](std::uint32_t pid) { return is_app_process(*processes, pid); }};

  ServiceRuntime service{ServiceRuntimeContext{control_state, log, *handler_registrar, threads,
                                               [this] { pipe_server.serve_forever(); },
                                               [this] { recover(); }}};

  RegistrationContext registration() {
    return {*service_manager, *files,
            [this] { return update_in_flight(*leftover_folders, *environment, *clock); }, *clock,
            log};
  }

  void recover() {
    recover_interrupted_update({*leftover_folders, *files, *installer, *installer_mutex, *processes,
                                *sessions, *environment, *clock, log});
  }
};

class Win32HelperModes final : public HelperModes {
 public:
  explicit Win32HelperModes(Helper& helper) : helper_(helper) {}

  Status install() override { return install_service(helper_.registration()); }
  Status uninstall() override { return uninstall_service(helper_.registration()); }
  Status run_service_dispatcher() override { return run_win32_service_dispatcher(helper_.service); }
  [[noreturn]] void serve_foreground() override { helper_.pipe_server.serve_forever(); }

 private:
  Helper& helper_;
};

}  // namespace
}  // namespace lumar

int wmain(int argc, wchar_t** argv) {
  using namespace lumar;
  // Static, so that the detached threads never see wmain's frame go.
  static Helper helper;
  Win32HelperModes modes(helper);
  std::optional<std::string> first_argument;
  if (argc > 1) first_argument = narrow_lossy(argv[1]);
  const int code = run_command_line(first_argument, modes, *helper.console, helper.log);
  // Returning from wmain would destroy `helper` while the pipe server, the
  // recovery and an installer worker may still run on it: they are detached
  // and nothing tells them to finish. ExitProcess ends those threads first,
  // so nothing is torn down under them. Every line the helper writes has
  // gone out through WriteFile by now; no stream buffer is left to flush.
  helper.process_exit->exit_now(code);
  return code;  // not reached
}
