#include "main/win32/service_win32.h"
#include "update/installer_queries.h"
#include "update/recovery.h"
#include "update/win32/recovery_win32.h"
#include "update/win32/win32_app_processes.h"
#include "update/win32/win32_app_sessions.h"
#include "update/win32/windows_installer_win32.h"

namespace lumar {

struct Win32ServiceModes::Parts {
  Parts(ServiceControlState& state, HelperLog& log, const Environment& environment,
        const Clock& clock, std::function<void()> pipe_server)
      : log(log),
        environment(environment),
        clock(clock),
        runtime(ServiceRuntimeParts{state, log, *registrar, threads, std::move(pipe_server),
                                    [this] { recover(); }}) {}

  RegistrationContext registration() {
    return {*manager, *registration_host, *folders, environment, clock, log};
  }

  void recover() {
    MsiQueries installer(*msi);
    recover_interrupted_update(
        {*folders, *recovery_host, installer, *processes, *sessions, environment, clock, log});
  }

  HelperLog& log;
  const Environment& environment;
  const Clock& clock;
  std::unique_ptr<ServiceManager> manager = make_win32_service_manager();
  std::unique_ptr<RegistrationHost> registration_host = make_win32_registration_host();
  std::unique_ptr<LeftoverFolders> folders = make_win32_leftover_folders();
  std::unique_ptr<RecoveryHost> recovery_host = make_win32_recovery_host();
  std::unique_ptr<MsiApi> msi = make_win32_msi_api();
  std::unique_ptr<ProcessSystem> processes = make_win32_process_system();
  std::unique_ptr<SessionSystem> sessions = make_win32_session_system();
  std::unique_ptr<ServiceHandlerRegistrar> registrar = make_win32_handler_registrar();
  StdThreadStarter threads;
  ServiceRuntime runtime;
};

Win32ServiceModes::Win32ServiceModes(ServiceControlState& state, HelperLog& log,
                                     const Environment& environment, const Clock& clock,
                                     std::function<void()> pipe_server)
    : parts_(std::make_unique<Parts>(state, log, environment, clock, std::move(pipe_server))) {}

Win32ServiceModes::~Win32ServiceModes() = default;

Status Win32ServiceModes::install() { return install_service(parts_->registration()); }

Status Win32ServiceModes::uninstall() { return uninstall_service(parts_->registration()); }

Status Win32ServiceModes::run_service_dispatcher() {
  return run_win32_service_dispatcher(parts_->runtime);
}

}  // namespace lumar
