// The request pipe as the portable server sees it: many instances at once,
// every read, write and connect started on one and reported when it
// finishes, so that one thread serves them all and no client waits on
// another. The Win32 side creates each instance with its security
// descriptor; the server decides what to start, and every deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/channel/caller_identity.h"
#include "main/service/helper_log.h"

namespace lumar {

using Deadline = std::chrono::steady_clock::time_point;

// One connected client, as the request it sent sees it: who it is, and its
// identity to borrow.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  virtual SystemResult<std::uint32_t> client_process_id() = 0;
  // Nothing when the client cannot be impersonated. Nothing that can throw
  // may come between taking the identity and returning it.
  virtual std::unique_ptr<Impersonation> impersonate() = 0;
};

using PipeInstanceId = std::uint64_t;

// Something that finished on one instance.
struct PipeEvent {
  enum class Kind {
    kConnected,      // a client came
    kConnectFailed,  // waiting for a client failed with `code`
    kReceived,       // a read finished: `bytes`, empty when no more will come
    kReplied,        // the reply was written and taken, or the client went
  };
  Kind kind = Kind::kReceived;
  PipeInstanceId instance = 0;
  std::uint32_t code = 0;
  std::vector<std::uint8_t> bytes{};
};

// The pipe's instances. Whenever the helper holds none, the next one claims
// the name afresh as the pipe's first instance: if another process holds the
// name, the helper does not serve beside it. The server keeps instances
// waiting before it closes any, so the name stays ours while the helper runs.
class PipeInstances {
 public:
  virtual ~PipeInstances() = default;
  // One more instance, waiting for a client. The error is
  // `pipe_creation_error(...)`.
  virtual Result<PipeInstanceId> listen() = 0;
  // Starts one read of up to `kReadChunkBytes` on a connected instance.
  virtual void read(PipeInstanceId instance) = 0;
  // Writes the reply, then waits for the client to take it.
  virtual void reply(PipeInstanceId instance, std::string bytes) = 0;
  // Disconnects the client and closes the instance, ending whatever was
  // started on it: nothing more is reported for it.
  virtual void close(PipeInstanceId instance) = 0;
  // The next event, waiting for one until `until` at most; nothing when the
  // time passed first.
  virtual std::optional<PipeEvent> wait(Deadline until) = 0;
  // An event known already, without waiting or asking the system; nothing
  // when there is none.
  virtual std::optional<PipeEvent> take_ready() = 0;
  // The connected client, for the request it sent; valid until `close`.
  virtual PipeConnection& connection(PipeInstanceId instance) = 0;
};

// The error for a failed CreateNamedPipeW. A first instance refused because
// the name is taken (`name_taken`) reads
// "another process holds \\.\pipe\lumar_helper ({code})"; anything else
// "CreateNamedPipeW failed ({code})".
std::string pipe_creation_error(std::uint32_t code, bool name_taken);

// How much one read asks for.
inline constexpr std::size_t kReadChunkBytes = 1024;

// The Windows implementation, built only for Windows.
std::unique_ptr<PipeInstances> make_win32_pipe_instances(HelperLog& log);

}  // namespace lumar
