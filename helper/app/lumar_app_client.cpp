// The public calls: the request line, the exchange over the real pipe, and
// what the reply says.
#include "lumar_app_client.h"

#include "app_exchange.h"
#include "app_protocol.h"
#include "helper_pipe.h"

namespace lumar::app {
namespace {

Answer ask(std::string_view request, const Options& options) {
  const std::unique_ptr<HelperPipe> pipe = make_win32_helper_pipe();
  return read_answer(exchange_request(*pipe, request, options));
}

}  // namespace

Answer ping(const Options& options) { return ask(ping_request(), options); }

Answer request_update(std::string_view package_path, std::string_view minisig_file,
                      const Options& options) {
  const Result<std::string> request = update_request(package_path, minisig_file);
  if (!request.has_value()) return Answer{false, false, request.error()};
  return ask(*request, options);
}

}  // namespace lumar::app
