// The request line → reply path, as the pipe server runs it: lossy decoding
// of the received bytes, the first line, parsing, the Lite gate and the
// reply's serialization. Every input must give exactly one well-formed reply
// line and nothing else.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "main/dispatcher.h"
#include "main/pipe_server.h"
#include "main/text.h"

namespace {

using namespace lumar;

class NoFiles : public ClientFiles {
 public:
  Result<std::unique_ptr<ClientFile>> open(std::string_view) override {
    return fail("no files here");
  }
};
class NoProcesses : public ProcessQueries {
 public:
  Expected<ProcessHandle, std::uint32_t> open_process(std::uint32_t) override {
    return Unexpected<std::uint32_t>(87);
  }
  Expected<OsString, std::uint32_t> image_path(const ProcessHandle&) override {
    return Unexpected<std::uint32_t>(87);
  }
  Expected<std::uint32_t, std::uint32_t> session_id(const ProcessHandle&) override {
    return Unexpected<std::uint32_t>(87);
  }
};
class NoExit : public ProcessExit {
 public:
  [[noreturn]] void exit_now(int) override { std::abort(); }
};
class NoEnvironment : public Environment {
 public:
  std::optional<std::string> get(std::string_view) const override { return std::nullopt; }
};
class NullLogFile : public LogFile {
 public:
  void create_folders(std::string_view) override {}
  void append(std::string_view, std::string_view) override {}
};
class StillClock : public Clock {
 public:
  LocalTime local_time() const override { return {}; }
  std::uint64_t system_time_filetime() const override { return 0; }
  std::uint64_t unix_time_nanoseconds() const override { return 0; }
  std::chrono::steady_clock::time_point monotonic_now() const override { return {}; }
  void sleep_for(std::chrono::milliseconds) const override {}
};
class Connection : public PipeConnection {
 public:
  std::size_t read(std::span<std::uint8_t>, Deadline) override { return 0; }
  void send(std::string_view, Deadline) override {}
  std::optional<std::uint32_t> client_process_id() override { return 1; }
  std::unique_ptr<Impersonation> impersonate() override { return nullptr; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NoFiles files;
  static NoExit exit;
  static NoEnvironment environment;
  static StillClock clock;
  static NullLogFile log_file;
  static HelperLog log(environment, clock, log_file);
  static NoProcesses processes;
  static CallerStep caller_step(files, processes, log, exit);
  static UnavailableUpdates updates;
  static Dispatcher dispatcher(Edition::kLite, nullptr, caller_step, updates, log);

  Connection connection;
  const std::string text = decode_utf8_lossy(std::span<const std::uint8_t>(data, size));
  const std::string line = first_line(text);
  const Reply reply = dispatcher.dispatch(
      size == 0 ? std::nullopt : std::optional<std::string_view>(line), connection);
  const std::string bytes = serialize_reply(reply);
  // One line: the serializer must escape every line feed.
  if (bytes.find('\n') != std::string::npos || bytes.find('\r') != std::string::npos) std::abort();
  if (reply.ok != (bytes == R"({"ok":true})")) std::abort();
  return 0;
}
