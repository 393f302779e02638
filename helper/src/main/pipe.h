// The request pipe as the portable server sees it. The Win32 side creates
// each instance with its security descriptor, waits for a client and bounds
// every read and write by a deadline, so no client can hold the serial
// server.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "main/base/expected.h"
#include "main/helper_log.h"

namespace lumar {

using Deadline = std::chrono::steady_clock::time_point;

// The client's identity borrowed by the serving thread: the system's half.
// Only an ImpersonationGuard (caller_step.h) takes one, in its constructor,
// so the identity is never held outside a scope that gives it back.
class Impersonation {
 public:
  virtual ~Impersonation() = default;
  // Gives the identity back; false when the system refused.
  [[nodiscard]] virtual bool revert() noexcept = 0;
};

// One connected client. Destroying it disconnects the client and closes the
// instance.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // Reads up to buffer.size() bytes. 0 means no more: the client closed its
  // end, the read failed, or the deadline passed.
  virtual std::size_t read(std::span<std::uint8_t> buffer, Deadline deadline) = 0;
  // Writes the reply and waits (until the deadline at most) for the client
  // to take it. Failures are ignored: the client may be gone.
  virtual void send(std::string_view bytes, Deadline deadline) = 0;
  virtual SystemResult<std::uint32_t> client_process_id() = 0;
  // Nothing when the client cannot be impersonated. Nothing that can throw
  // may come between taking the identity and returning it.
  virtual std::unique_ptr<Impersonation> impersonate() = 0;
};

// The listener keeps one instance of the pipe waiting at all times and makes
// the next one before it hands a connection over, so the name stays ours
// while the helper runs. Whenever it holds no instance, it claims the name
// afresh as the pipe's first instance: if another process holds the name, the
// helper does not serve beside it.
class PipeListener {
 public:
  virtual ~PipeListener() = default;
  // Waits for a client on the waiting instance (created first if there is
  // none). The error is `pipe_creation_error(...)` or
  // "ConnectNamedPipe failed ({code})".
  virtual Result<std::unique_ptr<PipeConnection>> accept() = 0;
};

// The error for a failed CreateNamedPipeW. A first instance refused because
// the name is taken (`name_taken`) reads
// "another process holds \\.\pipe\lumar_helper ({code})"; anything else
// "CreateNamedPipeW failed ({code})".
std::string pipe_creation_error(std::uint32_t code, bool name_taken);

// The Windows implementation, built only for Windows.
std::unique_ptr<PipeListener> make_win32_pipe_listener(HelperLog& log);

}  // namespace lumar
