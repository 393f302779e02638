// lumar-helper.exe: builds the helper from its parts and hands the command
// line to the portable entry.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "main/caller_step.h"
#include "main/command_line.h"
#include "main/dispatcher.h"
#include "main/helper_log.h"
#include "main/pipe_server.h"
#include "main/product.h"
#include "main/service_control_state.h"
#include "main/system_host_actions.h"
#include "main/update_acceptor.h"
#include "main/win32/child_programs_win32.h"
#include "main/win32/hosts_file_win32.h"
#include "main/win32/pipe_win32.h"
#include "main/win32/service_win32.h"
#include "main/win32/system_win32.h"
#include "main/win32/win32_text.h"
#include "update/win32/process_identity_win32.h"
#include "update/win32/update_acceptance_win32.h"

namespace lumar {
namespace {

// Everything the helper is made of, built once for the process's life.
struct Helper {
  std::unique_ptr<Environment> environment = make_win32_environment();
  std::unique_ptr<Clock> clock = make_win32_clock();
  std::unique_ptr<LogFile> log_file = make_win32_log_file();
  HelperLog log{*environment, *clock, *log_file};
  std::unique_ptr<Console> console = make_win32_console();
  std::unique_ptr<ProcessExit> process_exit = make_win32_process_exit();
  std::unique_ptr<ClientFiles> client_files = make_win32_client_files();
  ServiceControlState control_state;

  // Only a full-edition helper carries the host actions; the Lite gate
  // stops those requests before they could reach them.
  std::unique_ptr<HostActions> host_actions =
      helper_edition() == Edition::kFull
          ? std::make_unique<SystemHostActions>(make_win32_child_programs(),
                                                make_win32_hosts_file(), *environment)
          : nullptr;
  std::unique_ptr<UpdateAcceptor> updates =
      make_win32_update_acceptor(control_state, log, *clock, *environment);
  std::unique_ptr<ProcessQueries> caller_processes = make_win32_process_queries();
  CallerStep caller_step{*client_files, *caller_processes, log, *process_exit};
  Dispatcher dispatcher{helper_edition(), host_actions.get(), caller_step, *updates, log};
  std::unique_ptr<PipeListener> listener = make_win32_pipe_listener(log);
  PipeServer pipe_server{*listener, dispatcher, log, *clock};
  Win32ServiceModes service{control_state, log, *environment, *clock,
                            [this] { pipe_server.serve_forever(); }};
};

class Win32HelperModes final : public HelperModes {
 public:
  explicit Win32HelperModes(Helper& helper) : helper_(helper) {}

  Status install() override { return helper_.service.install(); }
  Status uninstall() override { return helper_.service.uninstall(); }
  Status run_service_dispatcher() override { return helper_.service.run_service_dispatcher(); }
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
