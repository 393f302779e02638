// Client commands beyond ping and send, each in a file of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumar {

// Sends the request, prints the reply line, returns the exit code.
int client_exchange(const std::string& request);
std::optional<std::string> client_read_file(const std::string& path);

// "update <package.msi> <signature file>"; nothing for other arguments.
std::optional<int> run_update_command(const std::vector<std::string>& args);

// Runs the command if it is one of the extra ones; nothing otherwise.
std::optional<int> run_extra_client_command(const std::vector<std::string>& args);

}  // namespace lumar
