// One request and its reply over the helper's pipe: connect, check the
// server, send, read one line, all within the caller's limits.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "helper_pipe.h"
#include "lumar_app_client.h"

namespace lumar::app {

// Beyond this a reply without a line feed is no reply of the helper's.
inline constexpr std::size_t kMaxReplyBytes = 1048576;

struct Exchange {
  // At least one byte of the request went out.
  bool sent = false;
  // The reply line, without its line feed.
  std::optional<std::string> reply;
  // No reply: why.
  std::string error;
};

// Sends `request` exactly as given. A server that is not the LumarHelper
// service is sent nothing unless `options.allow_foreground`.
Exchange exchange_request(HelperPipe& pipe, std::string_view request, const Options& options);

}  // namespace lumar::app
