// Who sent an "install_update": the process behind the client's process id,
// as a RequestCaller with its image path, session and an open handle.
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
  virtual Expected<std::unique_ptr<ProcessHandle>, std::uint32_t> open_process(
      std::uint32_t pid) = 0;
  virtual Expected<OsString, std::uint32_t> image_path(const ProcessHandle& process) = 0;
  virtual Expected<std::uint32_t, std::uint32_t> session_id(std::uint32_t pid) = 0;
};

// Errors: "open the requesting process {pid} ({code})",
// "read the requesting process's path ({code})",
// "read the requesting process's session ({code})". On failure nothing stays
// open.
Result<RequestCaller> identify_process(ProcessQueries& processes, std::uint32_t pid);

}  // namespace lumar
