#include "main/pipe_server.h"

#include <algorithm>
#include <array>

#include "main/base/text.h"
#include "main/product.h"
#include "main/thread_boundary.h"

namespace lumar {

std::string pipe_creation_error(std::uint32_t code, bool name_taken) {
  const std::string in_parentheses = " (" + std::to_string(code) + ")";
  if (name_taken) {
    return "another process holds " + std::string(kPipeName) + in_parentheses;
  }
  return "CreateNamedPipeW failed" + in_parentheses;
}

std::optional<std::string> read_request_text(PipeConnection& connection, Deadline deadline) {
  std::array<std::uint8_t, kReadChunkBytes> buffer{};
  std::optional<std::string> text;
  while (!text || (text->find('\n') == std::string::npos && text->size() <= kMaxRequestBytes)) {
    const std::size_t got = connection.read(buffer, deadline);
    if (got == 0) break;
    if (!text) text.emplace();
    *text += decode_utf8_lossy(std::span<const std::uint8_t>(buffer.data(), got));
  }
  return text;
}

std::string first_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return std::string(text);
  std::string_view line = text.substr(0, end);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return std::string(line);
}

void PipeServer::serve_connection() {
  Result<std::unique_ptr<PipeConnection>> accepted = listener_.accept();
  if (!accepted) {
    const auto now = clock_.monotonic_now();
    if (accepted.error() != last_failure_ ||
        now - last_failure_logged_ >= kRepeatedFailureLogInterval) {
      log_.write("pipe: " + accepted.error());
      last_failure_ = accepted.error();
      last_failure_logged_ = now;
    }
    clock_.sleep_for(kRetryPause);
    return;
  }
  last_failure_.reset();
  PipeConnection& connection = **accepted;

  const auto connected = clock_.monotonic_now();
  const std::optional<std::string> text =
      read_request_text(connection, connected + kClientTimeLimit - kReplyGrace);
  const auto spent_reading = clock_.monotonic_now() - connected;
  std::optional<std::string> line;
  if (text) line = first_line(*text);

  const Reply reply = dispatcher_.dispatch(line, connection);
  const auto reply_time =
      std::max<std::chrono::steady_clock::duration>(kClientTimeLimit - spent_reading, kReplyGrace);
  connection.send(serialize_reply(reply) + '\n', clock_.monotonic_now() + reply_time);
  // The connection's destructor disconnects the client and closes the instance.
}

void PipeServer::serve_one() {
  // Whatever a pass throws past its request (no memory for the request
  // text, say) ends that pass only; its connection is closed by the unwind.
  if (!guard_thread_body(log_, "pipe", [this] { serve_connection(); })) {
    clock_.sleep_for(kRetryPause);
  }
}

void PipeServer::serve_forever() {
  for (;;) serve_one();
}

}  // namespace lumar
