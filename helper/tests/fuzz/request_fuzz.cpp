// The request line → reply path, as the pipe server runs it: lossy decoding
// of the received bytes, the first line, parsing, the Lite gate and the
// reply's serialization. Every input must give exactly one well-formed reply
// line and nothing else.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_client_files.h"
#include "fakes/fake_log.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_updates.h"
#include "main/base/text.h"
#include "main/channel/dispatcher.h"
#include "main/channel/pipe_server.h"

namespace {

using namespace lumar;

// Nothing here may end the process.
class NoExit : public ProcessExit {
 public:
  [[noreturn]] void exit_now(int) override { std::abort(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static test::FakeClientFiles files;
  static NoExit exit;
  static test::RecordingLog log;
  static test::FakeProcesses processes;
  static CallerStep caller_step(files, processes, log.log, exit, log.clock);
  static test::RefusingUpdateAcceptor updates;
  static Dispatcher dispatcher(Edition::kLite, nullptr, caller_step, updates, log.log);

  // Sends nothing and cannot be impersonated.
  test::FakePipeConnection connection;
  connection.pid = 1u;
  connection.can_impersonate = false;
  const std::string text = decode_utf8_lossy(std::span<const std::uint8_t>(data, size));
  const std::string line = first_line(text);
  const Reply reply = dispatcher.dispatch(
      size == 0 ? std::nullopt : std::optional<std::string_view>(line), connection);
  const std::string bytes = serialize_reply(reply);
  // One line: the serializer must escape every line feed.
  if (bytes.find('\n') != std::string::npos || bytes.find('\r') != std::string::npos) std::abort();
  if (reply.ok != (bytes == R"({"ok":true})")) std::abort();
  // The fakes record every call: forget them, so that a long run does not grow.
  files.opens.clear();
  processes.opened.clear();
  processes.access.clear();
  log.file = test::FakeLogFile();
  return 0;
}
