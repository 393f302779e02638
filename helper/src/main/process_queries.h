// The process behind an "install_update" request, opened as soon as the
// client's process id is known, and the owned process handle type every part
// of the update path passes around.
#pragma once

#include <cstdint>
#include <memory>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/base/unique_any.h"

namespace lumar {

// An open handle to a process, owned: destroying it closes the handle. Only
// the adapter that opened it knows what it holds.
using ProcessHandle = UniqueOpaque<struct ProcessHandleTag>;

// Access mask of the caller's and the app's handles:
// SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE.
inline constexpr std::uint32_t kAppProcessAccess = 0x00101001;

// The requesting process as the caller step opened it, the moment its
// request arrived. The handle keeps that very process (and so its id) from
// being replaced by another one for as long as the request is handled.
struct OpenedCaller {
  std::uint32_t pid = 0;
  ProcessHandle process;  // opened with kAppProcessAccess
};

// The three system questions, each failing with the system's error code
// taken right after the failing call.
class ProcessQueries {
 public:
  virtual ~ProcessQueries() = default;
  // Opened with kAppProcessAccess, not inheritable.
  virtual SystemResult<ProcessHandle> open_process(std::uint32_t pid) = 0;
  virtual SystemResult<OsString> image_path(const ProcessHandle& process) = 0;
  virtual SystemResult<std::uint32_t> session_id(const ProcessHandle& process) = 0;
};

// Error: "open the requesting process {pid} ({code})".
Result<OpenedCaller> open_caller(ProcessQueries& processes, std::uint32_t pid);

// The Windows implementation, built only for Windows.
std::unique_ptr<ProcessQueries> make_win32_process_queries();

}  // namespace lumar
