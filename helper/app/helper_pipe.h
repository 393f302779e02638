// The pipe to the helper as the application's side sees it: connecting,
// asking who serves it, and transfers that give up at a deadline. The
// portable exchange (app_exchange.h) runs on this; the Win32 pipe is
// helper_pipe_win32.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/expected.h"

namespace lumar::app {

using Deadline = std::chrono::steady_clock::time_point;

// How one transfer ended, and how many bytes it moved before.
struct Transfer {
  enum class End { kDone, kFailed, kTimedOut };
  End end = End::kFailed;
  std::size_t bytes = 0;
  std::string error;  // kFailed: why
};

// One connection to the pipe's server.
class HelperConnection {
 public:
  virtual ~HelperConnection() = default;
  // Nothing when the pipe is served by the running LumarHelper service;
  // otherwise "the pipe is not served by the LumarHelper service", or why the
  // server or the service could not be identified.
  virtual std::optional<std::string> check_server() = 0;
  // Writes the start of `bytes` (all of it, unless the transfer fails or
  // times out), giving up at `deadline`.
  virtual Transfer write(std::string_view bytes, Deadline deadline) = 0;
  // Appends what arrives to `into`, giving up at `deadline`. kDone with no
  // bytes: the server closed its end.
  virtual Transfer read(std::string& into, Deadline deadline) = 0;
};

class HelperPipe {
 public:
  virtual ~HelperPipe() = default;
  // Connects, retrying for `within` while the pipe is busy or absent.
  virtual Result<std::unique_ptr<HelperConnection>> connect(std::chrono::milliseconds within) = 0;
};

// The real pipe, \\.\pipe\lumar_helper.
std::unique_ptr<HelperPipe> make_win32_helper_pipe();

}  // namespace lumar::app
