#include "app_exchange.h"

#include <algorithm>

namespace lumar::app {
namespace {

// Keeps the deadline arithmetic, and the waits it turns into, in range.
constexpr std::chrono::milliseconds kLongestLimit{std::chrono::hours(24 * 24)};

std::chrono::milliseconds bounded(std::chrono::milliseconds limit) {
  return std::clamp(limit, std::chrono::milliseconds(0), kLongestLimit);
}

std::string time_limit_text(std::chrono::milliseconds limit) {
  return "no reply from the helper within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

// Sends all of `request`; false with `exchange.error` set when it could not.
bool send(HelperConnection& helper, std::string_view request, Deadline deadline,
          std::chrono::milliseconds limit, Exchange& exchange) {
  while (!request.empty()) {
    const Transfer written = helper.write(request, deadline);
    const std::size_t moved = std::min(written.bytes, request.size());
    exchange.sent = exchange.sent || moved > 0;
    request.remove_prefix(moved);
    if (written.end == Transfer::End::kTimedOut) {
      exchange.error = time_limit_text(limit);
      return false;
    }
    if (written.end == Transfer::End::kFailed || moved == 0) {
      exchange.error = "write the request: " + written.error;
      return false;
    }
  }
  return true;
}

// Reads up to the first line feed, or what came before the server closed.
void receive(HelperConnection& helper, Deadline deadline, std::chrono::milliseconds limit,
             Exchange& exchange) {
  std::string reply;
  for (;;) {
    const std::size_t before = reply.size();
    const Transfer got = helper.read(reply, deadline);
    if (const std::size_t end = reply.find('\n', before); end != std::string::npos) {
      reply.resize(end);
      break;
    }
    if (got.end == Transfer::End::kTimedOut) {
      exchange.error = time_limit_text(limit);
      return;
    }
    if (reply.size() > kMaxReplyBytes) {
      exchange.error =
          "the helper's reply is longer than " + std::to_string(kMaxReplyBytes) + " bytes";
      return;
    }
    // Failed or closed: the server has gone; what it wrote is its reply.
    if (got.end == Transfer::End::kFailed || got.bytes == 0) break;
  }
  if (reply.empty()) {
    exchange.error = "the helper closed the connection without a reply";
    return;
  }
  exchange.reply = std::move(reply);
}

}  // namespace

Exchange exchange_request(HelperPipe& pipe, std::string_view request, const Options& options) {
  Exchange exchange;
  Result<std::unique_ptr<HelperConnection>> connection =
      pipe.connect(bounded(options.connect_retry));
  if (!connection.has_value()) {
    exchange.error = connection.error();
    return exchange;
  }
  HelperConnection& helper = **connection;
  if (!options.allow_foreground) {
    if (std::optional<std::string> refused = helper.check_server()) {
      exchange.error = std::move(*refused);
      return exchange;
    }
  }
  // One limit for sending and receiving together, from the moment the
  // server is known.
  const std::chrono::milliseconds limit = bounded(options.timeout);
  const Deadline deadline = std::chrono::steady_clock::now() + limit;
  if (send(helper, request, deadline, limit, exchange)) receive(helper, deadline, limit, exchange);
  return exchange;
}

}  // namespace lumar::app
