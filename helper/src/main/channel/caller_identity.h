// Who sent a request over the pipe: its process, identified by the pipe and
// opened at once, and its identity, borrowed for one scope at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "main/base/expected.h"
#include "main/platform/process_exit.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"

namespace lumar {

class PipeConnection;

// The requesting process as it was opened the moment its request arrived.
// The handle keeps that very process (and so its id) from being replaced by
// another one for as long as the request is handled.
struct OpenedCaller {
  std::uint32_t pid = 0;
  ProcessHandle process;  // opened for ProcessAccess::kControl
};

// The client's process, opened with every right the update goes on to need:
// the worker waits for the app, and may have to end it, through this very
// handle. "cannot identify the requesting process" when the pipe does not
// say who it is; "open the requesting process {pid} ({code})", also logged
// as the client's doing, when it cannot be opened.
Result<OpenedCaller> open_caller(PipeConnection& connection, Processes& processes, HelperLog& log);

// The client's identity borrowed by the serving thread: the system's half.
// Only an ImpersonationGuard takes one, in its constructor, so the identity
// is never held outside a scope that gives it back.
class Impersonation {
 public:
  virtual ~Impersonation() = default;
  // Gives the identity back; false when the system refused.
  [[nodiscard]] virtual bool revert() noexcept = 0;
};

// Borrows the client's identity for one scope and gives it back when the
// scope ends, however it ends, an exception included. It is taken in the
// constructor, so there is no moment at which the thread holds it bare. A
// thread that cannot give it back must serve nobody else: the guard logs
// "install_update: RevertToSelf failed; exiting" and ends the process with
// exit code 1.
class ImpersonationGuard {
 public:
  ImpersonationGuard(PipeConnection& connection, HelperLog& log, ProcessExit& exit);
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
  ~ImpersonationGuard();

  // False when the client could not be impersonated: the thread is itself.
  bool held() const { return borrowed_ != nullptr; }

 private:
  std::unique_ptr<Impersonation> borrowed_;
  HelperLog& log_;
  ProcessExit& exit_;
};

}  // namespace lumar
