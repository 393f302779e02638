#include "pipe_client.h"

#include "app_exchange.h"
#include "app_protocol.h"

namespace lumar {

Result<std::string> exchange_with_helper(std::string_view request,
                                         const PipeExchangeOptions& options) {
  app::Options app_options;
  app_options.connect_retry = options.connect_deadline;
  app_options.timeout = options.reply_time_limit;
  app_options.allow_foreground = options.allow_foreground_server;
  const std::unique_ptr<app::HelperPipe> pipe = app::make_win32_helper_pipe();
  app::Exchange exchange = app::exchange_request(*pipe, request, app_options);
  if (!exchange.reply) return fail(std::move(exchange.error));
  return std::move(*exchange.reply);
}

bool reply_is_ok(std::string_view reply) {
  app::Exchange exchange;
  exchange.reply = std::string(reply);
  return app::read_answer(exchange).ok;
}

}  // namespace lumar
