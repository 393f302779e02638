#include "main/channel/dispatcher.h"

#include "main/platform/thread_guard.h"
#include "main/service/log_text.h"

namespace lumar {

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
  if (operation_served(request) == Served::kByFullEditionOnly && edition_ == Edition::kLite) {
    return Reply::failure(kLiteRefusal);
  }

  if (std::holds_alternative<Ping>(request)) return Reply::success();
  if (const auto* kill = std::get_if<Kill>(&request)) return host_actions_->kill(kill->pid);
  if (const auto* hosts = std::get_if<WriteHosts>(&request)) {
    return host_actions_->write_hosts(hosts->domains);
  }

  const InstallUpdate& update = std::get<InstallUpdate>(request);
  if (Status early = updates_.check_before_read(update.signature); !early.has_value()) {
    return Reply::failure(std::move(early).error());
  }
  std::unique_ptr<IncrementalHash> hash = updates_.start_package_hash(update.signature);
  Result<CallerPackage> caller = caller_step_.run(connection, update.path, hash.get());
  if (!caller.has_value()) return Reply::failure(std::move(caller).error());
  return updates_.accept_update(std::move(caller->contents), update.signature,
                                std::move(caller->caller), std::move(hash));
}

}  // namespace lumar
