#include "main/dispatcher.h"

namespace lumar {

Reply handle_simple_action(const Request& request, HostActions* host_actions) {
  if (std::holds_alternative<Ping>(request)) return Reply::success();
  if (std::holds_alternative<InstallUpdate>(request)) {
    return Reply::failure("install_update is not supported here");
  }
  if (host_actions == nullptr) return Reply::failure(kLiteRefusal);
  if (const auto* kill = std::get_if<Kill>(&request)) return host_actions->kill(kill->pid);
  return host_actions->write_hosts(std::get<WriteHosts>(request).domains);
}

Reply Dispatcher::dispatch(std::optional<std::string_view> line, PipeConnection& connection) {
  const std::optional<Request> request = parse_request(line);
  if (!request) return Reply::failure(kBadRequest);

  const bool host_action =
      std::holds_alternative<Kill>(*request) || std::holds_alternative<WriteHosts>(*request);
  if (host_action && edition_ == Edition::kLite) return Reply::failure(kLiteRefusal);

  const auto* update = std::get_if<InstallUpdate>(&*request);
  if (update == nullptr) return handle_simple_action(*request, host_actions_);

  Result<CallerPackage> caller = caller_step_.run(connection, update->path);
  if (!caller) return Reply::failure(std::move(caller).error());
  return updates_.accept_update(std::move(caller->contents), update->signature, caller->pid);
}

}  // namespace lumar
