// Raw request bytes to the helper's pipe and the reply line back, for the
// client tool, the tests and the benchmarks: the application's library
// (lumar_app_client.h) underneath, with its connection, server check and time
// limit.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "main/base/expected.h"

namespace lumar {

struct PipeExchangeOptions {
  // How long to keep trying to connect while the pipe is busy or absent.
  std::chrono::milliseconds connect_deadline{30000};
  // How long, once connected, sending the request and receiving the reply
  // may take together.
  std::chrono::milliseconds reply_time_limit{120000};
  // A pipe served by any process but the running LumarHelper service is
  // refused: that would be someone else's server answering in the helper's
  // name, and able to act as the tool's user while it serves it. Tests that
  // run the helper in the foreground allow it.
  bool allow_foreground_server = false;
};

// Sends `request` as given and returns the reply line without its line feed.
// A named pipe has no half-close: the server knows the request is complete
// when it holds a line feed, or when its own time limit passes.
Result<std::string> exchange_with_helper(std::string_view request,
                                         const PipeExchangeOptions& options = {});

// True when the reply is {"ok":true...}.
bool reply_is_ok(std::string_view reply);

}  // namespace lumar
