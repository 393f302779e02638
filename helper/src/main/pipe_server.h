// The helper's only request channel: one client at a time, one request line
// in, one reply line out, for ever.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "main/clock.h"
#include "main/dispatcher.h"
#include "main/helper_log.h"
#include "main/pipe.h"

namespace lumar {

// A request line is read until its line feed, or until it is this long.
inline constexpr std::size_t kMaxRequestBytes = 262144;
inline constexpr std::size_t kReadChunkBytes = 1024;
// How long one client may hold the serial server, all told: the time it takes
// to send its request and the time it takes to read its reply. The work done
// for the request in between is not the client's and does not count.
inline constexpr std::chrono::seconds kClientTimeLimit{10};
// Of that, what is always kept for taking the reply, so that a client which
// was slow to send still gets its answer if it reads promptly.
inline constexpr std::chrono::seconds kReplyGrace{1};
inline constexpr std::chrono::milliseconds kRetryPause{300};
// A failure that repeats (another process holding the pipe's name, say) is
// retried every pause but logged again only this often: the log is never
// rotated, so a squatter must not be able to fill the disk through it.
inline constexpr std::chrono::seconds kRepeatedFailureLogInterval{60};

// Reads the request text from a connected client: reads of up to 1024 bytes,
// each decoded on its own (invalid UTF-8 becomes U+FFFD), until a line feed
// arrives, the text passes the size bound, or the client stops sending.
// Nothing when no byte at all arrived.
std::optional<std::string> read_request_text(PipeConnection& connection, Deadline deadline);

// The first line of the text, without its line feed and one carriage return
// before it.
std::string first_line(std::string_view text);

class PipeServer {
 public:
  PipeServer(PipeListener& listener, Dispatcher& dispatcher, HelperLog& log, const Clock& clock)
      : listener_(listener), dispatcher_(dispatcher), log_(log), clock_(clock) {}

  [[noreturn]] void serve_forever();
  // One pass of the loop: one instance, one client, one reply. The thread's
  // boundary: an exception is logged as "pipe: internal error: {what}" and
  // the loop goes on after a pause.
  void serve_one();

 private:
  void serve_connection();

  PipeListener& listener_;
  Dispatcher& dispatcher_;
  HelperLog& log_;
  const Clock& clock_;
  // The last failure logged and when; cleared by a connection.
  std::optional<std::string> last_failure_;
  std::chrono::steady_clock::time_point last_failure_logged_{};
};

}  // namespace lumar
