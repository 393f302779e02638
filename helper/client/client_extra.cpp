#include "client_commands.h"

namespace lumar {

std::optional<int> run_extra_client_command(const std::vector<std::string>& args) {
  if (std::optional<int> code = run_update_command(args)) return code;
  return std::nullopt;
}

}  // namespace lumar
