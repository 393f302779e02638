// The helper's entry: `lumar-helper [install|uninstall|run|daemon|variant]`.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "main/base/expected.h"
#include "main/service/helper_log.h"

namespace lumar {

class Console {
 public:
  virtual ~Console() = default;
  virtual void out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;
};

// What the modes are carried out by.
class HelperModes {
 public:
  virtual ~HelperModes() = default;
  virtual Status install() = 0;
  virtual Status uninstall() = 0;
  // Runs the service dispatcher; returns once the service has stopped, or
  // fails at once (for instance when started from a console) with the
  // service layer's error text.
  virtual Status run_service_dispatcher() = 0;
  // Serves the pipe on this thread for good.
  [[noreturn]] virtual void serve_foreground() = 0;
};

// Selects the mode from the first argument (nothing when there is none) and
// returns the process's exit code. "run" and "daemon" outside the service
// manager never return.
int run_command_line(std::optional<std::string_view> first_argument, HelperModes& modes,
                     Console& console, HelperLog& log);

// The Windows implementation, built only for Windows.
std::unique_ptr<Console> make_win32_console();

}  // namespace lumar
