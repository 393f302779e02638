// Who sent an "install_update": the process behind the client's process id,
// opened as soon as the id is known, then described as a RequestCaller with
// its image path and session.
#pragma once

#include <cstdint>
#include <memory>

#include "main/expected.h"
#include "update/request_caller.h"

namespace lumar {

// The three system questions, each failing with the system's error code
// taken right after the failing call.
class ProcessQueries {
 public:
  virtual ~ProcessQueries() = default;
  // Opened with kAppProcessAccess, not inheritable.
  virtual Expected<ProcessHandle, std::uint32_t> open_process(std::uint32_t pid) = 0;
  virtual Expected<OsString, std::uint32_t> image_path(const ProcessHandle& process) = 0;
  virtual Expected<std::uint32_t, std::uint32_t> session_id(const ProcessHandle& process) = 0;
};

// Error: "open the requesting process {pid} ({code})".
Result<OpenedCaller> open_caller(ProcessQueries& processes, std::uint32_t pid);

// Errors: "read the requesting process's path ({code})",
// "read the requesting process's session ({code})". On failure the handle is
// closed with `caller`.
Result<RequestCaller> identify_process(ProcessQueries& processes, OpenedCaller caller);

}  // namespace lumar
