// A client of the helper's pipe: connect (retrying while the serial server
// is busy with someone else), send bytes, read the one reply line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/expected.h"

namespace lumar {

struct PipeExchangeOptions {
  // How long to keep trying to connect while the pipe is busy or absent.
  std::chrono::milliseconds connect_deadline{30000};
  // Close our end after sending, so a request without a line feed is
  // processed (the server reads until the client closes).
  bool half_close_after_send = false;
};

// Sends `request` as given and returns the reply line without its line feed.
Result<std::string> exchange_with_helper(std::string_view request,
                                         const PipeExchangeOptions& options = {});

// True when the reply is {"ok":true...}.
bool reply_is_ok(std::string_view reply);

// Standard Base64 with padding.
std::string base64_encode(std::string_view bytes);

}  // namespace lumar
