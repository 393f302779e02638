#include "main/dispatcher.h"

#include <iterator>

#include "main/thread_boundary.h"

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

std::string_view operation_name(const Request& request) {
  static constexpr std::string_view kNames[] = {"ping", "kill", "write_hosts", "install_update"};
  static_assert(std::size(kNames) == std::variant_size_v<Request>);
  return kNames[request.index()];
}

Reply Dispatcher::dispatch(std::optional<std::string_view> line, PipeConnection& connection) {
  const std::optional<Request> request = parse_request(line);
  if (!request) return Reply::failure(kBadRequest);
  try {
    return route(*request, connection);
  } catch (...) {
    const std::string_view operation = operation_name(*request);
    const std::string what = current_exception_text();
    log_internal_error(log_, operation, what);
    return Reply::failure(internal_error_text(operation, what));
  }
}

Reply Dispatcher::route(const Request& request, PipeConnection& connection) {
  const bool host_action =
      std::holds_alternative<Kill>(request) || std::holds_alternative<WriteHosts>(request);
  if (host_action && edition_ == Edition::kLite) return Reply::failure(kLiteRefusal);

  const auto* update = std::get_if<InstallUpdate>(&request);
  if (update == nullptr) return handle_simple_action(request, host_actions_);

  std::unique_ptr<PackageWatcher> watcher = updates_.watch_package(update->signature);
  Result<CallerPackage> caller = caller_step_.run(connection, update->path, watcher.get());
  if (!caller) return Reply::failure(std::move(caller).error());
  return updates_.accept_update(std::move(caller->contents), update->signature,
                                std::move(caller->caller), std::move(watcher));
}

}  // namespace lumar
