#include "main/service/command_line.h"

#include <string>

#include "main/service/product.h"

namespace lumar {
namespace {

int error_exit(const std::string& message, Console& console, HelperLog& log) {
  console.err(std::string(kUsageName) + ": " + message + "\n");
  log.write("error: " + message);
  return 1;
}

}  // namespace

int run_command_line(std::optional<std::string_view> first_argument, HelperModes& modes,
                     Console& console, HelperLog& log) {
  const std::string_view mode = first_argument.value_or("");

  if (mode == "variant") {
    console.out(std::string(kVariantName) + "\n");
    return 0;
  }
  if (mode == "run" || mode == "daemon") {
    const Status dispatched = modes.run_service_dispatcher();
    if (dispatched.has_value()) return 0;
    log.write("service dispatcher failed (" + dispatched.error() + "); running foreground");
    modes.serve_foreground();
  }
  if (mode == "install" || mode == "uninstall") {
    const Status done = mode == "install" ? modes.install() : modes.uninstall();
    return done.has_value() ? 0 : error_exit(done.error(), console, log);
  }
  console.err("usage: lumar-helper [install|uninstall|run|daemon|variant] (got '" +
              std::string(mode) + "')\n");
  return 2;
}

}  // namespace lumar
