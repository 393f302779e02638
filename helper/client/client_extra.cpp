#include "client_commands.h"

namespace lumar {

std::optional<int> run_extra_client_command(const std::vector<std::string>&) {
  return std::nullopt;
}

}  // namespace lumar
