#include "main/channel/dispatcher.h"

#include <iterator>

#include "main/platform/thread_guard.h"
#include "main/service/log_text.h"

namespace lumar {

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
    log_.write_client_caused(cut_foreign_piece(internal_error_text(operation, what)));
    return Reply::failure(internal_error_text(operation, what));
  }
}

Reply Dispatcher::route(const Request& request, PipeConnection& connection) {
  // The edition gate comes first: a Lite helper has no host actions.
  const bool host_action =
      std::holds_alternative<Kill>(request) || std::holds_alternative<WriteHosts>(request);
  if (host_action && edition_ == Edition::kLite) return Reply::failure(kLiteRefusal);

  if (std::holds_alternative<Ping>(request)) return Reply::success();
  if (const auto* kill = std::get_if<Kill>(&request)) return host_actions_->kill(kill->pid);
  if (const auto* hosts = std::get_if<WriteHosts>(&request)) {
    return host_actions_->write_hosts(hosts->domains);
  }

  const InstallUpdate& update = std::get<InstallUpdate>(request);
  if (Status early = updates_.check_before_read(update.signature); !early) {
    return Reply::failure(std::move(early).error());
  }
  std::unique_ptr<PackageWatcher> watcher = updates_.watch_package(update.signature);
  Result<CallerPackage> caller = caller_step_.run(connection, update.path, watcher.get());
  if (!caller) return Reply::failure(std::move(caller).error());
  return updates_.accept_update(std::move(caller->contents), update.signature,
                                std::move(caller->caller), std::move(watcher));
}

}  // namespace lumar
